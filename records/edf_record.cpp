// EDF, EDF+ and BDF files through EDFlib: the chosen signal in microvolts,
// the EDF+ annotations as labels.
#include <edflib.h>

#include <climits>
#include <cmath>
#include <memory>

#include "record.h"

namespace orna::records {

namespace {

std::string Trimmed(const char* s) {
  std::string t(s);
  while (!t.empty() && t.back() == ' ') t.pop_back();
  std::size_t b = t.find_first_not_of(' ');
  return b == std::string::npos ? "" : t.substr(b);
}

const char* OpenError(int code) {
  switch (code) {
    case EDFLIB_NO_SUCH_FILE_OR_DIRECTORY: return "no such file";
    case EDFLIB_FILE_IS_DISCONTINUOUS: return "a discontinuous EDF+/BDF+ file (EDF+D) is not played";
    case EDFLIB_FILE_READ_ERROR: return "cannot be read";
    case EDFLIB_MALLOC_ERROR: return "out of memory";
    default: return "not a valid EDF, EDF+ or BDF file";
  }
}

}  // namespace

bool LoadEdf(const RecordRequest& request, Record* record, std::string* error) {
  *record = Record{};
  auto hdr = std::make_unique<edf_hdr_struct>();
  if (edfopen_file_readonly(request.path.c_str(), hdr.get(), EDFLIB_READ_ALL_ANNOTATIONS) != 0) {
    *error = request.path + ": " + OpenError(hdr->filetype);
    return false;
  }
  struct Closer {
    int handle;
    ~Closer() { edfclose_file(handle); }
  } closer{hdr->handle};
  if (!request.annotator.empty()) {
    *error = "--annotator is for WFDB records: " + request.path + " keeps its annotations inside";
    return false;
  }
  for (int i = 0; i < hdr->edfsignals; ++i) record->signal_names.push_back(Trimmed(hdr->signalparam[i].label));
  const long found = FindSignal(record->signal_names, request.signal);
  if (found < 0 || record->signal_names.empty()) {
    *error = request.path + ": no signal '" + request.signal + "'";
    return false;
  }
  const edf_param_struct& p = hdr->signalparam[found];
  record->chosen = static_cast<std::size_t>(found);
  const double per = MicrovoltsPer(Trimmed(p.physdimension));
  if (per == 0) {
    *error = request.path + ": signal " + std::to_string(found) + " (" + record->signal_names[found] + ") is in '" +
             Trimmed(p.physdimension) + "', not a voltage";
    return false;
  }
  if (hdr->datarecord_duration <= 0 || p.smp_in_datarecord <= 0) {
    *error = request.path + ": signal " + std::to_string(found) + " has no sampling rate";
    return false;
  }
  record->samples_per_second =
      static_cast<double>(p.smp_in_datarecord) * EDFLIB_TIME_DIMENSION / static_cast<double>(hdr->datarecord_duration);
  if (p.smp_in_file > INT_MAX) {
    *error = request.path + ": signal " + std::to_string(found) + " is too long to read";
    return false;
  }
  // Room for playing to double the samples where they are.
  record->microvolts.reserve(2 * static_cast<std::size_t>(p.smp_in_file));
  record->microvolts.resize(static_cast<std::size_t>(p.smp_in_file));
  if (p.smp_in_file > 0 &&
      edfread_physical_samples(hdr->handle, static_cast<int>(found), static_cast<int>(p.smp_in_file),
                               record->microvolts.data()) != p.smp_in_file) {
    *error = request.path + ": the samples of signal " + std::to_string(found) + " cannot be read";
    return false;
  }
  for (double& v : record->microvolts) v *= per;
  for (long long i = 0; i < hdr->annotations_in_file; ++i) {
    edf_annotation_struct a{};
    if (edf_get_annotation(hdr->handle, static_cast<int>(i), &a) != 0) continue;
    std::string text;
    for (const char* c = a.annotation; *c; ++c)
      text += static_cast<unsigned char>(*c) <= ' ' ? '_' : *c;
    if (!text.empty()) record->labels.push_back({static_cast<double>(a.onset) / EDFLIB_TIME_DIMENSION, text});
  }
  return true;
}

}  // namespace orna::records

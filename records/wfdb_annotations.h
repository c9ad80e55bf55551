// WFDB annotation files in MIT format (e.g. the reference beats, .atr).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace orna::records {

struct Annotation {
  long long sample = 0;  // frame number in the record
  int code = 0;          // 1..49: N = 1, V = 5, ... rhythm change = 28
  int subtype = 0;
  int chan = 0;
  int num = 0;
  std::string aux;       // e.g. "(AFIB" for a rhythm change; NULs dropped
};

// Reads an annotation file. False with *error naming the byte offset of
// anything it cannot read (a code this format does not have, a word cut
// short, a time before 0).
bool ReadAnnotations(const std::uint8_t* data, std::size_t size, std::vector<Annotation>* out,
                     std::string* error);

// The code's mnemonic ("N", "V", "+", ...); "?" for a code without one.
const char* Mnemonic(int code);

// How the annotation reads in a recording: its mnemonic, then its aux text
// with blanks and control characters as '_' (labels on a row are separated
// by spaces).
std::string LabelText(const Annotation& a);

}  // namespace orna::records

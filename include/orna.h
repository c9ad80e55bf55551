/*
 * liborna - host-side driver of the ORNA ECG simulator.
 *
 * The instrument is a USB serial (CDC ACM) device without a waveform generator
 * of its own: this library computes every sample on the host (5 000 samples/s),
 * encodes it as a 12-bit converter code and streams 3 200-byte sample packets
 * whenever the instrument asks for the next one.
 *
 * Conventions
 *  - Setters return 0 when the value was accepted (it may be applied at the end
 *    of the current waveform cycle while a waveform streams), -1 when no
 *    instrument is open, and -2, -3, -4 when one of the setter's own checks
 *    refused the call (listed per function). A refused call changes nothing.
 *  - Frequencies are in Hz, amplitudes in mV (peak to peak), pulse widths and
 *    durations in ms, DC offsets in whole mV, pacing rates in pulses per minute.
 *  - Getters work whether or not an instrument is open and have no side effect.
 *  - Text results are owned by the library; do not free them.
 *
 * Threads and callbacks
 *  - Every function may be called from any thread; calls are serialised by one
 *    internal recursive lock. Waits happen without it: GetAD's wait for its
 *    reply, OrnaListPorts' reading of the device tree, the loaders' reading of
 *    their file; the open's handshake (InitORNA, OrnaOpenPort, up to about
 *    0.3 s a port) is the one wait made with the lock held, so that no
 *    command is written into it. The stream goes on during every other call.
 *  - Every function keeps thread cancellation disabled while it runs and
 *    restores the caller's state before it returns: a thread cancelled inside
 *    a call (pthread_cancel) finishes the call and is cancelled at its next
 *    cancellation point outside the library.
 *  - Callbacks run with that lock held, on the thread that fires them (usually
 *    the library's receive thread). A callback may call back into the library
 *    from that thread, but must not wait for another thread that calls the
 *    library, or it deadlocks.
 *  - The receive thread runs at a real-time priority when the system grants
 *    one (ORNA_REALTIME=0 in the environment switches the request off). A
 *    callback on it delays the next sample packet by as long as it runs: a
 *    slow callback leaves a gap in the signal once it exceeds about 300 ms
 *    together with the rest of the pass. Keep callbacks short.
 */
#ifndef ORNA_H
#define ORNA_H

#ifdef __cplusplus
extern "C" {
#else
#include <stdbool.h>
#include <uchar.h>
#endif

#include "orna_version.h" /* ORNA_VERSION_MAJOR, _MINOR, _PATCH */

#if defined(ORNA_BUILDING_LIBRARY)
#define ORNA_API __attribute__((visibility("default")))
#else
#define ORNA_API
#endif

/* No exported function lets a C++ exception out: C callers could not handle it. */
#if defined(__cplusplus)
#define ORNA_NOEXCEPT noexcept
#else
#define ORNA_NOEXCEPT
#endif

/* Output function numbers, as taken by SetOutputFunc and returned by GetOutputFunc. */
enum {
    OutputFuncNone = 0,          /* no output; streaming stops */
    OutputFuncSine = 1,
    OutputFuncTriangle = 2,
    OutputFuncSquare = 3,
    OutputFuncPulse = 4,         /* rectangular pulse with 1 ms edges */
    OutputFuncTrianglePulse = 5,
    OutputFuncExponential = 6,
    OutputFuncCalECG = 7,        /* calibration ECG */
    OutputFuncIEC227 = 8,        /* IEC 60601-2-27 test waveform */
    OutputFuncIEC251 = 9,        /* IEC 60601-2-51 test waveform */
    OutputFuncECGNotchedR = 10,  /* synthetic ECG, notched R wave */
    OutputFuncECGSingleR = 11,   /* synthetic ECG, single R crest */
    OutputFuncBiExponential = 12,
    OutputFuncECGFile = 13       /* waveform loaded with LoadECGtxt */
};

/* Callback types. */
typedef void (*ORNA_TimeAmpCB)(double time_s, double value_mV);
typedef void (*ORNA_SyncFreqCB)(double frequency_Hz);
typedef void (*ORNA_SyncMainFuncCB)(int output_function);

/* ---- Opening and identity ------------------------------------------------ */

/* Scans /dev/ttyACM0 to /dev/ttyACM3 in order and opens the first port whose
 * device answers the identification handshake; starts the receive thread.
 * A port that another process holds is passed over (see the extension API).
 * 1 an instrument was found, or one is already open (nothing is touched);
 * 0 none answered, no receive thread could be started, or the call came from
 * a callback on the receive thread after its connection was lost or closed. */
ORNA_API int InitORNA(void) ORNA_NOEXCEPT;
/* Path of the port opened by the last successful InitORNA or OrnaOpenPort (its
 * first 15 characters); "" before. Never null. */
ORNA_API const char* GetUSBPort(void) ORNA_NOEXCEPT;
/* The four identity getters below return the library's own text (or null
 * when the instrument did not give it); the caller must not release it. Each
 * text lives in fixed storage that is never freed, so a pointer stays valid
 * for the life of the process, across CloseORNA and InitORNA; its content is
 * replaced (or the getter returns null) only when a later InitORNA identifies
 * an instrument. A failed InitORNA leaves every text as it was. */
/* Serial number of the instrument, or null. */
ORNA_API const char* GetSerialNo(void) ORNA_NOEXCEPT;
/* Hardware information string, or null. */
ORNA_API const char* GetHWInfo(void) ORNA_NOEXCEPT;
/* Firmware version "major.minor", or null. */
ORNA_API const char* GetFWVersion(void) ORNA_NOEXCEPT;
/* Hardware version "major.minor", or null. */
ORNA_API const char* GetHWVersion(void) ORNA_NOEXCEPT;
/* One AD exchange with the instrument: the value 0..65535, or 0 on any failure
 * (no instrument open, the request not written whole, no reply within 110 ms).
 * The library's receive thread makes the exchange while it goes on serving the
 * stream; the caller waits without holding the library's lock. Calls from
 * several threads are served one at a time, in the order they came: each
 * takes 10 to about 110 ms, and waits for those ahead of it. From a callback
 * that runs on a host thread (with the library's lock held) it returns 0 at
 * once; from one on the receive thread it makes the exchange in place. */
ORNA_API int GetAD(void) ORNA_NOEXCEPT;
/* The library's version text "major.minor.patch" (ORNA_VERSION_TEXT). */
ORNA_API const char* GetSDKVersion(void) ORNA_NOEXCEPT;
/* Does nothing: the port is always found by the scan of InitORNA. */
ORNA_API void SpecifyCOMPort(const char* port) ORNA_NOEXCEPT;
/* Does nothing; returns 0. */
ORNA_API int TriggerDeviceChanged(void) ORNA_NOEXCEPT;

/* ---- Reset and close ----------------------------------------------------- */

/* Returns every setting to its default through the setters (stops streaming
 * first); a setting already at its default is left alone. Returns 0, or, when
 * the frequency-scan settings differ from their defaults, the result of the
 * SetFreqScanSine that restores them: 0, or -1 no instrument open. So with no
 * instrument open nothing is reset, yet the result is 0 when the scan settings
 * are at their defaults. */
ORNA_API int ResetORNA(void) ORNA_NOEXCEPT;
/* Resets, sends the close command and closes the port; the receive thread ends.
 * Also releases a port whose device went away. Always returns -1. */
ORNA_API int CloseORNA(void) ORNA_NOEXCEPT;

/* ---- Getters ------------------------------------------------------------- */

/* The selected output function (0..13); a change may still wait for the end
 * of the current waveform cycle. */
ORNA_API int GetOutputFunc(void) ORNA_NOEXCEPT;
/* Both return the one stored IEC waveform number, shared by outputs 8 and 9. */
ORNA_API int GetSpecialWave227(void) ORNA_NOEXCEPT;
ORNA_API int GetSpecialWave251(void) ORNA_NOEXCEPT;
ORNA_API double GetAmplitude(void) ORNA_NOEXCEPT;
ORNA_API double GetFrequency(void) ORNA_NOEXCEPT;
ORNA_API int GetDCOffset(void) ORNA_NOEXCEPT;
ORNA_API bool GetDCOffsetVariableMode(void) ORNA_NOEXCEPT;
ORNA_API bool GetDCOffsetCommoneMode(void) ORNA_NOEXCEPT;
/* Whether output lead `lead` is switched on: leads 0..8, and 9..31 as stored
 * by SetOutputLead; false for numbers outside 0..31. */
ORNA_API bool GetOutputLead(int lead) ORNA_NOEXCEPT;
ORNA_API double GetPulseWidth(void) ORNA_NOEXCEPT;
ORNA_API bool GetInputImpedanceMode(void) ORNA_NOEXCEPT;
/* The mode as given to SetPacingPulseMode, any int. */
ORNA_API int GetPacingPulseMode(void) ORNA_NOEXCEPT;
ORNA_API double GetQRSDuration(void) ORNA_NOEXCEPT;
ORNA_API double GetTWave(void) ORNA_NOEXCEPT;
ORNA_API double GetPacingAmplitude(void) ORNA_NOEXCEPT;
ORNA_API double GetPacingDuration(void) ORNA_NOEXCEPT;
ORNA_API int GetPacingRate(void) ORNA_NOEXCEPT;
ORNA_API int GetOvershootTimeConstant(void) ORNA_NOEXCEPT;
/* The mode of the baseline reset test, 0 when it is off. */
ORNA_API int GetBaselineResetTest(void) ORNA_NOEXCEPT;
/* The mode last accepted by SetECG2_27_Noise (0 off, 1 = 50 Hz, other = 60 Hz),
 * not a frequency. */
ORNA_API int GetECG2_27_NoiseFreq(void) ORNA_NOEXCEPT;
ORNA_API double GetECG2_27_NoiseAmp(void) ORNA_NOEXCEPT;
ORNA_API bool GetECG2_27_AAMIDriftTest(void) ORNA_NOEXCEPT;
ORNA_API bool GetDynamicRangeTest(void) ORNA_NOEXCEPT;
ORNA_API double GetDynamicRangeTestAmp(void) ORNA_NOEXCEPT;
ORNA_API double GetDynamicRangeTestFreq(void) ORNA_NOEXCEPT;
ORNA_API bool GetFreqScanSine(void) ORNA_NOEXCEPT;
ORNA_API double GetFreqScanSineStartFreq(void) ORNA_NOEXCEPT;
ORNA_API double GetFreqScanSineStopFreq(void) ORNA_NOEXCEPT;
ORNA_API int GetFreqScanSineDuration(void) ORNA_NOEXCEPT;
/* True while a frequency scan of either kind runs. */
ORNA_API bool GetFreqScanECG(void) ORNA_NOEXCEPT;

/* ---- Output selection and signal settings -------------------------------- */

/* Selects output function n (OutputFunc*); 0 stops streaming at once.
 * 0 accepted; -1 no instrument open; -2 n outside 0..13; -2 n is 8 while the
 * stored IEC waveform number lies outside 0..9, or 9 while it lies outside
 * 0..5 (choose one within that table with SetSpecialWave227/251 first). */
ORNA_API int SetOutputFunc(int n) ORNA_NOEXCEPT;
/* Selects output 8 with IEC 60601-2-27 waveform n (0..9); needs no open port.
 * 0 accepted, -2 n outside 0..9 (nothing changes). Never -1. */
ORNA_API int SetSpecialWave227(int n) ORNA_NOEXCEPT;
/* Selects output 9 with IEC 60601-2-51 waveform n (0..5); needs no open port.
 * 0 accepted, -2 n outside 0..5 (nothing changes). Never -1. */
ORNA_API int SetSpecialWave251(int n) ORNA_NOEXCEPT;
/* -10..10 mV. 0 accepted; -1 no instrument open; -2 outside -10..10 or NaN;
 * -3 baseline reset test active. */
ORNA_API int SetAmplitude(double mV) ORNA_NOEXCEPT;
/* 0.05..500 Hz (..3 Hz with outputs 4 and 5). 0 accepted; -1 no instrument
 * open; -2 outside 0.05..500 or NaN; -2 above 3 while output 4 or 5 is
 * selected; -3 frequency scan running; -4 baseline reset test active. */
ORNA_API int SetFrequency(double Hz) ORNA_NOEXCEPT;
/* -300..300 mV in fixed mode, -1000..1000 mV in variable mode (the mode in
 * force at the call). 0 accepted; -1 no instrument open; -2 out of range. */
ORNA_API int SetDCOffset(int mV) ORNA_NOEXCEPT;
/* 0 accepted; -1 no instrument open. */
ORNA_API int SetDCOffsetVariableMode(bool on) ORNA_NOEXCEPT;
/* 2..300 ms. 0 accepted; -1 no instrument open; -2 outside 2..300 or NaN. */
ORNA_API int SetPulseWidth(double ms) ORNA_NOEXCEPT;
/* 5..200 ms. 0 accepted; -1 no instrument open; -2 outside 5..200 or NaN. */
ORNA_API int SetQRSDuration(double ms) ORNA_NOEXCEPT;
/* T-wave amplitude 0..2.5 mV. 0 accepted; -1 no instrument open; -2 outside
 * 0..2.5 or NaN. */
ORNA_API int SetTWave(double mV) ORNA_NOEXCEPT;
/* Pacing pulse amplitude -700..700 mV; 0 switches pacing off. 0 accepted;
 * -1 no instrument open; -2 outside -700..700 or NaN. */
ORNA_API int SetPacingAmplitude(double mV) ORNA_NOEXCEPT;
/* Pacing pulse width 0.1..3 ms. 0 accepted; -1 no instrument open; -2 outside
 * 0.1..3 or NaN. */
ORNA_API int SetPacingDuration(double ms) ORNA_NOEXCEPT;
/* 10..300 pulses per minute. 0 accepted; -1 no instrument open; -2 outside 10..300. */
ORNA_API int SetPacingRate(int per_minute) ORNA_NOEXCEPT;
/* 0: one pulse per pacing event; any other int: two. 0 accepted; -1 no
 * instrument open. */
ORNA_API int SetPacingPulseMode(int mode) ORNA_NOEXCEPT;
/* Pacing overshoot time constant 0..100 ms. 0 accepted; -1 no instrument open;
 * -2 outside 0..100. */
ORNA_API int SetOvershootTimeConstant(int ms) ORNA_NOEXCEPT;

/* ---- Front end ----------------------------------------------------------- */

/* Switches output lead `lead` (0..8) on or off; acts at once. 0 accepted (also
 * when the lead is already so); -1 no instrument open; -2 lead outside 0..31.
 * Numbers 9..31 are stored (GetOutputLead reports them) but switch no relay. */
ORNA_API int SetOutputLead(int lead, bool on) ORNA_NOEXCEPT;
/* Both act at once. 0 accepted; -1 no instrument open. */
ORNA_API int SetInputImpedanceMode(bool on) ORNA_NOEXCEPT;
ORNA_API int SetDCOffsetCommoneMode(bool on) ORNA_NOEXCEPT;

/* ---- Test modes ---------------------------------------------------------- */

/* Sine frequency scan from start to stop Hz (0.67..500 each) over duration s
 * (10..180); the values are checked and stored when switching off too.
 * 0 accepted; -1 no instrument open; -2 start or stop NaN or infinite; -2 start
 * outside 0.67..500; -3 stop outside 0.67..500; -4 duration outside 10..180. */
ORNA_API int SetFreqScanSine(bool on, double start_Hz, double stop_Hz, int duration_s) ORNA_NOEXCEPT;
/* Calibration-ECG rate scan 0.05 Hz to 0.5 Hz over 30 s. 0 accepted; -1 no
 * instrument open. */
ORNA_API int SetFreqScanECG(bool on) ORNA_NOEXCEPT;
/* Mains noise on output 7: mode 0 off, 1 = 50 Hz, other = 60 Hz; amplitude
 * 0.01..0.2 mV, checked with mode 0 too. 0 accepted; -1 no instrument open;
 * -2 amplitude NaN or infinite; -2 mode not 0 while output 7 is not selected;
 * -3 amplitude outside 0.01..0.2. */
ORNA_API int SetECG2_27_Noise(int mode, double amplitude_mV) ORNA_NOEXCEPT;
/* Baseline drift (+-2 mV, 10 s period) on output 7. 0 accepted (whatever the
 * output); -1 no instrument open. */
ORNA_API int SetECG2_27_AAMIDriftTest(bool on) ORNA_NOEXCEPT;
/* Dynamic-range overlay on outputs 2 and 3: amplitude 0..5 mV, 10..50 Hz, both
 * checked when switching off too. 0 accepted; -1 no instrument open;
 * -2 amplitude or frequency NaN or infinite; -2 on while the output is neither
 * 2 nor 3; -3 amplitude outside 0..5; -4 frequency outside 10..50. */
ORNA_API int SetDynamicRangeTest(bool on, double amplitude_mV, double frequency_Hz) ORNA_NOEXCEPT;
/* Baseline reset test: 0 ends it; 1..4 = 50, 60, 80, 100 Hz on output 1; any
 * other mode runs it at the current frequency. 0 accepted (mode 0 always);
 * -1 no instrument open; -2 mode not 0 while output 1 is not selected. */
ORNA_API int SetBaselineResetTest(int mode) ORNA_NOEXCEPT;

/* ---- Callbacks ----------------------------------------------------------- */

/* Every 30th sample (6 ms of signal): graph time in s and value in mV. Null unregisters.
 * Runs on the receive thread while it builds a packet: whatever the callback
 * spends (drawing, logging, a lock held by another thread) delays the stream. */
ORNA_API void RegisterTimeAmpCB(ORNA_TimeAmpCB cb) ORNA_NOEXCEPT;
/* Four points of a 10 ms rectangle at each pacing pulse (only with RegisterTimeAmpCB). */
ORNA_API void RegisterPacingTimeAmpCB(ORNA_TimeAmpCB cb) ORNA_NOEXCEPT;
/* Frequency changes the library makes on its own (limits, scans, baseline test). */
ORNA_API void RegisterSyncFreqCB(ORNA_SyncFreqCB cb) ORNA_NOEXCEPT;
/* Output-function changes the library makes on its own (scans). */
ORNA_API void RegisterSyncMainFuncCB(ORNA_SyncMainFuncCB cb) ORNA_NOEXCEPT;

/* ---- Waveform files ------------------------------------------------------ */

/* File loaders. The path is UTF-16 and is opened as its UTF-8 form, the
 * encoding of file names on Linux: characters 0x80..0xFF become two bytes,
 * not one as in earlier versions, and surrogate pairs are joined. A null path,
 * one longer than 511 16-bit characters or one with an unpaired surrogate,
 * and anything that is not a regular file (a FIFO, a device, a directory) are
 * refused with -1. The file is read without holding up other calls. */

/* Loads a text waveform (line 1 rate, line 2 count, then microvolts) for output
 * 13. Returns the number of samples loaded (0..count: fewer when the file ends
 * early), or -1 path refused or file cannot be opened; -2 no first line, or its
 * rate is not a positive finite number (then the rate becomes 0); -3 no second
 * line, or a count of 0 or no number; -4 a negative count, one beyond the int
 * range, or no memory for it (the previous samples are released). */
ORNA_API int LoadECGtxt(const char16_t* path) ORNA_NOEXCEPT;
/* Reads the sample rate from a binary waveform header; loads no samples, so
 * never returns 0 or more. -1 path refused or file cannot be opened; -2 fewer
 * than 2 bytes, or a rate of 0 (stored); -3 rate read and stored. */
ORNA_API int LoadECGbin(const char16_t* path) ORNA_NOEXCEPT;

/* ---- Range values --------------------------------------------------------
 * Read by the library when a waveform starts, and raised to 5.0 by the
 * receive thread when the instrument reports a current firmware version,
 * always under the library's lock. A host may read or write them without a
 * data race only while no instrument is open (before InitORNA/OrnaOpenPort
 * succeeds, after CloseORNA), or from inside one of the library's callbacks,
 * which run with that lock held. */

/* Full scale in mV used in DC offset variable mode (default 4.0). */
ORNA_API extern double g_RangeV4Ch2On;
/* Full scale in mV sent to the instrument and used otherwise (default 5.0). */
ORNA_API extern double g_RangeV4Ch2Off;

/* ==== Extension API ========================================================
 * Added beside the functions above, which keep their behaviour. Every open
 * (InitORNA's scan as well as OrnaOpenPort) takes its port exclusively: an
 * advisory flock(LOCK_EX) that other serial programs honour, and TIOCEXCL;
 * a port another process holds is passed over. Both are released on close
 * and at process exit.
 *
 * When the open port's device goes away (unplugged, hung up), the receive
 * thread notices within a second: the link counts as lost, streaming ends as
 * if output 0 were applied (nothing is sent), and the library behaves as with
 * no port open (setters return -1) until InitORNA or OrnaOpenPort opens an
 * instrument again. GetUSBPort keeps naming the lost port; CloseORNA releases it.
 */

typedef struct OrnaPortInfo {
    char path[64];            /* device node, e.g. "/dev/ttyACM0" */
    char by_id[256];          /* its link under /dev/serial/by-id, or "" */
    unsigned short vendor_id; /* USB IDs; 0 when not a USB device */
    unsigned short product_id;
    char serial[64];          /* USB serial number string, or "" */
    char manufacturer[64];
    char product[64];
} OrnaPortInfo;

/* CDC ACM ports (ttyACM*) in name order, from the system's device tree; fills at
 * most max entries (none when ports is NULL or max is not positive) and returns
 * how many exist, which may exceed max; -1 when the device tree cannot be read
 * or memory runs out. */
ORNA_API int OrnaListPorts(OrnaPortInfo* ports, int max) ORNA_NOEXCEPT;

/* Like InitORNA for exactly this path (a symlink such as /dev/serial/by-id/... is
 * followed): same handshake, identity, receive thread. 1 opened (or a connection is
 * already open: nothing touched, as InitORNA); 0 the port opened but no instrument
 * answered; -1 a NULL or empty path, one that cannot be resolved or opened (not a
 * terminal, for one), no receive thread could be started, or the call came from a
 * callback on the receive thread after its connection was lost or closed; -16
 * another process holds it. Results 0, -1 and -16 leave the reason in
 * OrnaLastErrorText. */
ORNA_API int OrnaOpenPort(const char* path) ORNA_NOEXCEPT;

typedef struct OrnaLinkStatus {
    unsigned int size;        /* set by the caller to sizeof(OrnaLinkStatus) */
    int open;                 /* a connection is open */
    int lost;                 /* the open connection's device went away */
    int streaming;            /* an output function is streaming */
    unsigned long long requests;         /* next-packet requests received */
    unsigned long long packets;          /* sample packets written whole */
    unsigned long long sequence_errors;  /* sequence error reports received */
    unsigned long long write_failures;   /* messages the line did not take whole */
    unsigned long long bytes_dropped;    /* received bytes that began no message */
} OrnaLinkStatus;

/* Counters since the connection opened. 0, or -1 for NULL or a size too small
 * for the four int fields (16 bytes).
 * Fields may be added at the end later; the library fills what size allows. */
ORNA_API int OrnaGetLinkStatus(OrnaLinkStatus* status) ORNA_NOEXCEPT;

/* Called once per connection, on the receive thread, when its device goes away
 * (with the library's lock held, like every callback). Null unregisters. */
ORNA_API void OrnaRegisterLinkLostCB(void (*callback)(void)) ORNA_NOEXCEPT;

/* What result `code` of the exported function named `function` means, as one short
 * English sentence naming the accepted range where there is one, e.g.
 * ("SetAmplitude", -2) -> "amplitude outside -10 to 10 mV"; NULL for an unknown
 * function or a code it never returns. Static text. */
ORNA_API const char* OrnaResultText(const char* function, int code) ORNA_NOEXCEPT;

/* Why the last failed OrnaOpenPort failed: the path and the reason; "" before
 * any failure and after OrnaOpenPort opens a port. InitORNA does not set it. */
ORNA_API const char* OrnaLastErrorText(void) ORNA_NOEXCEPT;

/* LoadECGtxt from memory: `count` samples in microvolts at `samplesPerSecond`
 * become the waveform of output function 13, with the text loader's limits
 * (each sample clamped to +-5000 uV, a NaN taken as 0) and results, in the
 * same order: count when loaded; -2 a rate that is not a positive finite
 * number (stored as 0); -3 a count of 0 (the rate is stored); -1 `microvolts`
 * null with a positive count; -4 a negative count or no memory for it (the
 * previous samples are released). The samples are copied before the library's
 * lock is taken, so a load while output 13 plays replaces the waveform
 * between two samples. Works with or without an instrument open. */
ORNA_API int OrnaLoadECGSamples(const double* microvolts, int count,
                                double samplesPerSecond) ORNA_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* ORNA_H */

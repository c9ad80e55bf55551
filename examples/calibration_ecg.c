/* Opens the instrument, plays a sine and then a calibration ECG with pacing,
 * changes the amplitude while it streams, and closes.
 *
 *   cc calibration_ecg.c $(pkg-config --cflags --libs orna) -o calibration_ecg
 */
#include <orna.h>
#include <stdio.h>
#include <time.h>

static void pause_ms(long ms) {
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, NULL);
}

/* Prints what went wrong and tells main to stop. */
static int check(const char* what, int result) {
    if (result != 0) fprintf(stderr, "%s refused (code %d)\n", what, result);
    return result == 0;
}

int main(void) {
    if (InitORNA() != 1) {
        fprintf(stderr, "no instrument on /dev/ttyACM0..3\n");
        return 1;
    }
    printf("instrument %s on %s, library %s\n", GetSerialNo() ? GetSerialNo() : "?", GetUSBPort(),
           GetSDKVersion());

    int ok = check("amplitude", SetAmplitude(1.0)) && check("frequency", SetFrequency(10.0)) &&
             check("sine", SetOutputFunc(OutputFuncSine));
    pause_ms(500);

    /* Calibration ECG at 60 beats per minute with 5 mV, 1 ms pacing pulses. */
    ok = ok && check("frequency", SetFrequency(1.0)) &&
         check("pacing amplitude", SetPacingAmplitude(5.0)) &&
         check("pacing width", SetPacingDuration(1.0)) &&
         check("calibration ECG", SetOutputFunc(OutputFuncCalECG));
    pause_ms(1000);

    /* Changes made while streaming take effect at the end of the current cycle. */
    ok = ok && check("amplitude", SetAmplitude(2.0));
    pause_ms(1000);
    printf("output %d, amplitude %.1f mV, pacing %.1f mV\n", GetOutputFunc(), GetAmplitude(),
           GetPacingAmplitude());

    SetOutputFunc(OutputFuncNone);
    CloseORNA();
    return ok ? 0 : 2;
}

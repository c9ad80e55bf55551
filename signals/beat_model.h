// The beat model: every wave (P, Q, R, S, T, an ST shift) is a Gaussian in time
// with its own amplitude, width and place relative to the beat's fiducial point.
#pragma once

#include <vector>

namespace orna::signals {

struct Wave {
  double mV, at_s, width_s;  // peak, centre relative to the fiducial point, sigma
};
using Beat = std::vector<Wave>;

double ValueAt(const Beat& beat, double t_s);

// A sinus-conducted beat, R peak at 0 of height amplitude_mV. pr_s is the PR
// interval (P onset to QRS onset); st_mV the shift at J+60 ms, not scaled.
Beat NormalBeat(double amplitude_mV, double rr_s, double pr_s, double st_mV = 0);
// Only the P wave of a sinus beat whose R would be at 0 (a blocked P wave).
Beat PWave(double amplitude_mV, double pr_s);
// A sinus-shaped P wave that begins at 0 (an atrium captured by a pulse).
Beat PWaveFromOnset(double amplitude_mV);
// A normal QRS begins this long before its R peak.
constexpr double kNormalQrsBeforeR_s = 0.045;
// A premature atrial beat: a narrower, lower P' and a normal QRS-T.
Beat AtrialBeat(double amplitude_mV, double rr_s);
// A wide ventricular complex (>= 120 ms) without P wave, with a discordant T.
// twist turns the axis: 0 is the upright complex, pi/2 the mainly negative one.
Beat VentricularBeat(double amplitude_mV, double rr_s, double twist = 0);
// Where a complex's main deflection is: its fiducial point.
double Fiducial(const Beat& beat);

// QT rate correction: T place and width scale with the square root of the RR.
double QtScale(double rr_s);

}  // namespace orna::signals

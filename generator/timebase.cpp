#include "generator/timebase.h"

namespace orna {

double s_t;
double s_tg;
double s_tp;
double s_Fd;

}  // namespace orna

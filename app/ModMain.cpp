#include "app/ModMain.h"

namespace ModMain {

double MinOf(double a, double b) {
    return a <= b ? a : b;
}

} // namespace ModMain

// Out-of-line entry points of the geometry core.
#include "core/overlap.hpp"

namespace halfmoon {

double area(double z, double r, double p, double theta) {
    return overlap_area(prepare_half_disc(z, p, theta), r);
}

}  // namespace halfmoon

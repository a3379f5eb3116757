// One instantiation of the annulus integration per intensity law.
#include "core/annulus.hpp"

namespace halfmoon {

template void calc_limb_darkening<NonlinearLaw>(double*, const double*, std::int32_t,
                                                const NonlinearLaw::LawCoefficients*, const double*,
                                                const double*, double, double, double, double,
                                                bool);
template void calc_limb_darkening<ExponentialLaw>(double*, const double*, std::int32_t,
                                                  const ExponentialLaw::LawCoefficients*,
                                                  const double*, const double*, double, double,
                                                  double, double, bool);
template void calc_limb_darkening<QuadraticLaw>(double*, const double*, std::int32_t,
                                                const QuadraticLaw::LawCoefficients*, const double*,
                                                const double*, double, double, double, double,
                                                bool);

}  // namespace halfmoon

// halfmoon._engine: the package's exact light-curve engine.
//
// transit(law, coefficients, first_radius, second_radius, z, x, y, line_angle, /, *,
//         threads=None) -> flux
//
// Shapes: S parameter sets, C channels per set, n points, K coefficients of the law.
//   coefficients   (S, C, K)  the law's coefficients per set and channel
//   first_radius   (S, C)     radius of half 1, left of the dividing line
//   second_radius  (S, C)     radius of half 2, right of it
//   z, x, y        (S, n)     separation and sky coordinates of the planet's centre; a point
//                             whose separation the planet cannot reach from (such as the
//                             orbit's far-side value) gives exactly 1
//   line_angle     (S, n)     sky angle of the dividing line, radians
// Result: (S, C, n) relative fluxes (1 = unocculted star).
//
// transit_gradient(same arguments) -> (flux, partials)
//
// The same fluxes (to rounding) and their partial derivatives, shape (S, C, 5 + K, n), in the
// order x, y, line_angle, first_radius, second_radius, then the K coefficients
// (core/engine_gradient.hpp). Points the planet cannot reach have zero partials.
//
// The computation runs without the interpreter lock, split into tasks of a part of one
// channel's points (core/parallel.hpp) on `threads` threads started for the call, which end
// with it. Every task writes its own points, so the result does not depend on the number of
// threads. About every 5 ms the calling thread takes the lock back to check for signals: a
// pending KeyboardInterrupt (or any exception a signal handler raises) stops the work, the
// threads are joined and the exception propagates, with no result.
#include "frame/array_bridge.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "core/closed_form.hpp"
#include "core/dividing_line.hpp"
#include "core/engine.hpp"
#include "core/engine_gradient.hpp"
#include "core/laws.hpp"
#include "core/parallel.hpp"

namespace halfmoon::engine_module {
namespace {

constexpr const char kDoc[] =
    "The exact light-curve engine of halfmoon: transits of a two-half-disc planet in front of a "
    "limb-darkened star, by Green's theorem along the boundary of the planet's part of the star.";

constexpr const char kTransitDoc[] =
    "transit(law, coefficients, first_radius, second_radius, z, x, y, line_angle, /, *, "
    "threads=None)\n--\n\n"
    "Relative flux of S parameter sets x C channels x n points.\n\n"
    "Parameters\n----------\n"
    "law : str\n    Name of the limb-darkening law (a key of LAWS).\n"
    "coefficients : array of shape (S, C, K)\n    The law's K coefficients.\n"
    "first_radius, second_radius : arrays of shape (S, C)\n"
    "    Radii of the half-discs left and right of the dividing line, stellar radii, finite "
    "and >= 0.\n"
    "z, x, y : arrays of shape (S, n)\n"
    "    Separation and sky coordinates of the planet's centre, stellar radii. A separation "
    "the planet cannot reach the star from gives exactly 1.\n"
    "line_angle : array of shape (S, n)\n    Sky angle of the dividing line, radians.\n"
    "threads : int or None, keyword only\n"
    "    Number of threads to compute on, started for the call. None chooses: one for small "
    "amounts of work, as many as the processors this process may use for large ones. The "
    "result is the same for any number.\n\n"
    "Returns\n-------\nnumpy.ndarray of shape (S, C, n)\n\n"
    "The interpreter lock is released during the computation, which KeyboardInterrupt "
    "stops.";

constexpr const char kTransitGradientDoc[] =
    "transit_gradient(law, coefficients, first_radius, second_radius, z, x, y, line_angle, /, "
    "*, threads=None)\n--\n\n"
    "Relative flux and its partial derivatives, for the arguments of transit().\n\n"
    "Returns\n-------\n(flux, partials)\n"
    "    flux of shape (S, C, n), the same as transit() gives to rounding; partials of shape "
    "(S, C, 5 + K, n): the derivatives of the flux with respect to x, y, line_angle "
    "(radians), first_radius, second_radius and the K coefficients. Points the planet cannot "
    "reach have zero partials. The tabulated law's partials with respect to its nodes mu_k are "
    "NaN (those with respect to its intensities are given).\n\n"
    "The derivatives are those of the exact boundary integrals (the normal velocity of each "
    "moving boundary piece times the intensity, integrated along it). Where a rim touches the "
    "limb (the contacts) they are continuous but not differentiable.";

// The checked arguments of one call.
struct TransitCall {
    frame::DoubleArrayND coefficients;
    frame::DoubleArrayND first_radius;
    frame::DoubleArrayND second_radius;
    frame::DoubleArrayND z;
    frame::DoubleArrayND x;
    frame::DoubleArrayND y;
    frame::DoubleArrayND line_angle;
    npy_intp sets = 0;
    npy_intp channels = 0;
    npy_intp points = 0;
};

bool same_shape(const frame::DoubleArrayND& a, const frame::DoubleArrayND& b) {
    if (a.ndim != b.ndim) {
        return false;
    }
    for (int k = 0; k < a.ndim; ++k) {
        if (a.shape[k] != b.shape[k]) {
            return false;
        }
    }
    return true;
}

bool shape_error(const char* name, const char* expected) {
    PyErr_Format(PyExc_ValueError, "%s: expected shape %s", name, expected);
    return false;
}

bool check_radii(const frame::DoubleArrayND& radii, const char* name) {
    for (npy_intp k = 0; k < radii.size; ++k) {
        const double r = radii.data[k];
        if (!(std::isfinite(r) && r >= 0.0)) {
            const frame::OwnedRef value(PyFloat_FromDouble(r));
            PyErr_Format(PyExc_ValueError, "%s must be finite and >= 0, got %R", name, value.get());
            return false;
        }
    }
    return true;
}

// The law's count of coefficients, then every set's and channel's coefficients against its
// rules (finiteness, domain).
template <ExactLaw Law>
bool check_coefficients(const frame::DoubleArrayND& coefficients) {
    const std::size_t k = static_cast<std::size_t>(coefficients.shape[2]);
    const npy_intp rows = coefficients.shape[0] * coefficients.shape[1];
    std::optional<std::string> problem = count_problem<Law>(k);
    for (npy_intp row = 0; row < rows && !problem; ++row) {
        problem = coefficient_problem<Law>(std::span<const double>(coefficients.data + row * k, k));
    }
    if (problem) {
        PyErr_Format(PyExc_ValueError, "coefficients: law '%s' %s", std::string(Law::kName).c_str(),
                     problem->c_str());
        return false;
    }
    return true;
}

template <ExactLaw Law>
std::optional<TransitCall> take_transit_call(PyObject* coefficients, PyObject* first_radius,
                                             PyObject* second_radius, PyObject* z, PyObject* x,
                                             PyObject* y, PyObject* line_angle) {
    TransitCall call;
    // Arguments that are already C-contiguous native float64 arrays are read where they are.
    auto take = [](PyObject* object, const char* name, int ndim, frame::DoubleArrayND& into) {
        auto view = frame::as_double_array_nd(object, name, ndim);
        if (!view) {
            return false;
        }
        into = std::move(*view);
        return true;
    };
    if (!take(coefficients, "coefficients", 3, call.coefficients) ||
        !take(first_radius, "first_radius", 2, call.first_radius) ||
        !take(second_radius, "second_radius", 2, call.second_radius) || !take(z, "z", 2, call.z) ||
        !take(x, "x", 2, call.x) || !take(y, "y", 2, call.y) ||
        !take(line_angle, "line_angle", 2, call.line_angle)) {
        return std::nullopt;
    }
    call.sets = call.coefficients.shape[0];
    call.channels = call.coefficients.shape[1];
    call.points = call.z.shape[1];
    if (call.first_radius.shape[0] != call.sets || call.first_radius.shape[1] != call.channels) {
        shape_error("first_radius", "(S, C) of coefficients");
        return std::nullopt;
    }
    if (!same_shape(call.first_radius, call.second_radius)) {
        shape_error("second_radius", "that of first_radius");
        return std::nullopt;
    }
    if (call.z.shape[0] != call.sets) {
        shape_error("z", "(S, n) with the S of coefficients");
        return std::nullopt;
    }
    if (!same_shape(call.z, call.x) || !same_shape(call.z, call.y) ||
        !same_shape(call.z, call.line_angle)) {
        shape_error("x, y and line_angle", "that of z");
        return std::nullopt;
    }
    if (!check_radii(call.first_radius, "first_radius") ||
        !check_radii(call.second_radius, "second_radius") ||
        !check_coefficients<Law>(call.coefficients)) {
        return std::nullopt;
    }
    return call;
}

// ----------------------------------------------------------------------------------------
// The run: plans per channel, tasks, threads
// ----------------------------------------------------------------------------------------

// Estimated cost of one point the planet can reach, in nanoseconds, by way of computing it
// (measured on the development machine; they only size tasks and choose the thread count).
constexpr double kFullDiscCost = 50.0;
constexpr double kHalvesCost = 500.0;
// A law with a remainder beyond the closed form adds its quadrature; radii of one half and more
// take the quadrature of the whole law.
constexpr double kRemainderCost = 2000.0;
constexpr double kWholeLawCost = 5000.0;
// The flux with its gradient, against the flux alone (measured by benchmarks/bench_gradient.py).
constexpr double kGradientFactor = 2.0;
// A task is about this much work, so that the calling thread polls often enough for a quick
// answer to Ctrl-C and the threads share the work evenly.
constexpr double kTaskCost = 5.0e4;
// Below this much work one thread does it all. Starting and joining a thread takes about 30 us
// (median; much longer when the other processors are busy). Measured on 2 processors, two
// threads against one: 0.7-1.0x below 150 us of work, 1.1-1.4x at 200-400 us, 1.5-1.75x at
// 0.4-0.7 ms, 1.8-2.0x at 10^5 points.
constexpr double kParallelCost = 2.0e5;
// From this much work on, the calling thread only polls while helpers compute, so that its
// polls (which wait for the interpreter lock) never hold the work up.
constexpr double kSupervisedCost = 2.0e7;
// Largest thread count a caller may ask for.
constexpr long kMaxThreads = 256;
constexpr auto kPollInterval = std::chrono::milliseconds(5);

// One channel of one set, prepared once for all its points.
template <ExactLaw Law>
struct ChannelPlan {
    engine::Channel<Law> channel;
    // Equal radii in the closed form's range: the full disc, which needs no line angle.
    bool full_disc = false;
    closed_form::FullDisc disc{};
    // Unequal radii in the closed form's range, law without remainder: points with the planet
    // wholly inside the star go several at a time (grouped_points).
    bool inside_groups = false;
    double point_cost = 0.0;
};

template <ExactLaw Law>
ChannelPlan<Law> plan_channel(const typename Law::Record& record, double p1, double p2) {
    ChannelPlan<Law> plan{.channel = engine::make_channel<Law>(record, p1, p2)};
    if (std::max(p1, p2) >= closed_form::kMaxRadius) {
        plan.point_cost = kWholeLawCost;
    } else if (plan.channel.rest.present()) {
        plan.point_cost = kRemainderCost;
    } else if (p1 == p2) {
        plan.full_disc = true;
        plan.disc = closed_form::make_full_disc(p1);
        plan.point_cost = kFullDiscCost;
    } else {
        plan.inside_groups = closed_form::inside_route(p1, p2);
        plan.point_cost = kHalvesCost;
    }
    return plan;
}

// One point of a group of points with the planet wholly inside the star: the cosine and sine
// of its line's sky angle, its direction, its moments and, where asked for, its circles'
// complete integrals (both null where a direction of the group is not valid).
struct GroupedPoint {
    double cosine;
    double sine;
    const closed_form::LineDirection& direction;
    const closed_form::Moments* moments;
    const closed_form::CompleteRims* completes;
};

// The points at indices index[0..lanes of V) taken together in the lanes of V, each the same as
// alone: `in_group(i, point)` for each. The cosine and sine of each one's line sky angle are
// taken here, in order (gathered from memory just written, a packed load would wait for the
// stores).
template <class V, bool kCompletes, class InGroup>
void inside_group(const std::int64_t* index, engine::LineAngleTrig& trig, const double* z,
                  const double* x, const double* y, const double* line, double p1, double p2,
                  InGroup&& in_group) {
    constexpr int kLanes = lanes::kWidth<V>;
    double group_x[kLanes];
    double group_y[kLanes];
    double group_line[kLanes];
    double group_cosine[kLanes];
    double group_sine[kLanes];
    for (int l = 0; l < kLanes; ++l) {
        const std::int64_t i = index[l];
        trig.update(line[i]);
        group_x[l] = x[i];
        group_y[l] = y[i];
        group_line[l] = line[i];
        group_cosine[l] = trig.cosine();
        group_sine[l] = trig.sine();
    }
    const auto directions =
        engine::sky_directions<V>(group_x, group_y, group_line, group_cosine, group_sine);
    bool valid = true;
    for (const auto& direction : directions) {
        valid = valid && direction.valid();
    }
    if (!valid) {
        for (int l = 0; l < kLanes; ++l) {
            in_group(index[l],
                     GroupedPoint{group_cosine[l], group_sine[l],
                                  directions[static_cast<std::size_t>(l)], nullptr, nullptr});
        }
        return;
    }
    std::array<closed_form::CompleteRims, kLanes> completes;
    auto gather = [&](auto value)
                      __attribute__((always_inline)) { return lanes::from_lanes<V>(value); };
    const auto moments = closed_form::inside_planet_moments(
        gather([&](int l) __attribute__((always_inline)) { return z[index[l]]; }),
        gather([&](int l) __attribute__((always_inline)) {
            return directions[static_cast<std::size_t>(l)].half_sine;
        }),
        gather([&](int l) __attribute__((always_inline)) {
            return directions[static_cast<std::size_t>(l)].half_cosine;
        }),
        p1, p2, kCompletes ? &completes : nullptr);
    for (int l = 0; l < kLanes; ++l) {
        const auto ul = static_cast<std::size_t>(l);
        in_group(index[l], GroupedPoint{group_cosine[l], group_sine[l], directions[ul],
                                        &moments[ul], kCompletes ? &completes[ul] : nullptr});
    }
}

// Goes through the points [begin, end): `in_group(i, point)` for those with the planet
// wholly inside the star (where `grouped`, the radii taking the inside route), in groups of
// engine::InsideLanes and the last few in pairs; `alone(i)` for every other point, and for a
// last one left over. With kCompletes the points of a group carry their circles' complete
// integrals too.
template <bool kCompletes, class Alone, class InGroup>
void grouped_points(bool grouped, double p1, double p2, std::int64_t begin, std::int64_t end,
                    const double* z, const double* x, const double* y, const double* line,
                    engine::LineAngleTrig& trig, Alone&& alone, InGroup&& in_group) {
    using Group = engine::InsideLanes;
    constexpr int kGroup = lanes::kWidth<Group>;
    // Points with the planet wholly inside the star waiting for their group.
    std::int64_t waiting[kGroup];
    int count = 0;
    auto run_group = [&]<class V>(const std::int64_t* index) __attribute__((always_inline)) {
        inside_group<V, kCompletes>(index, trig, z, x, y, line, p1, p2, in_group);
    };
    for (std::int64_t i = begin; i < end; ++i) {
        if (!(grouped && z[i] >= 0.0 && closed_form::both_inside(z[i], p1, p2))) {
            alone(i);
            continue;
        }
        waiting[count] = i;
        if (++count == kGroup) {
            run_group.template operator()<Group>(waiting);
            count = 0;
        }
    }
    int done = 0;
    if constexpr (kGroup > 2) {
        for (; count - done >= 2; done += 2) {
            run_group.template operator()<lanes::Pair>(waiting + done);
        }
    }
    for (; done < count; ++done) {
        alone(waiting[done]);
    }
}

// The fluxes of points [begin, end): exactly engine::transit_flux at each, with the full disc's
// per-channel part taken from the plan, its points (and for unequal radii those with the planet
// wholly inside the star) computed several at a time, each result the same as alone, and the
// line angle formed only where it is used.
template <ExactLaw Law>
void planned_fluxes(const ChannelPlan<Law>& plan, std::int64_t begin, std::int64_t end,
                    const double* z, const double* x, const double* y, const double* line,
                    double* out) {
    const engine::Channel<Law>& channel = plan.channel;
    if (!plan.full_disc) {
        engine::LineAngleTrig trig;
        auto alone = [&](std::int64_t i) __attribute__((always_inline)) {
            if (engine::out_of_reach(z[i], channel.p1, channel.p2)) {
                out[i] = 1.0;
                return;
            }
            trig.update(line[i]);
            out[i] = engine::transit_flux(
                channel, z[i],
                engine::sky_direction(x[i], y[i], line[i], trig.cosine(), trig.sine()));
        };
        auto in_group = [&](std::int64_t i,
                            const GroupedPoint& point) __attribute__((always_inline)) {
            out[i] = point.moments != nullptr
                         ? 1.0 - engine::inside_blocked(channel, *point.moments) / channel.norm
                         : engine::transit_flux(channel, z[i], point.direction);
        };
        grouped_points<false>(plan.inside_groups, channel.p1, channel.p2, begin, end, z, x, y, line,
                              trig, alone, in_group);
        return;
    }
    auto flux_of = [&](const closed_form::Moments& m) {
        return 1.0 - closed_form::blocked_fraction(channel.basis, channel.norm, m);
    };
    // A point waiting for a partner.
    std::int64_t waiting = -1;
    for (std::int64_t i = begin; i < end; ++i) {
        if (engine::out_of_reach(z[i], channel.p1, channel.p2)) {
            out[i] = 1.0;
        } else if (!(z[i] >= 0.0)) {
            out[i] = std::nan("");
        } else if (waiting < 0) {
            waiting = i;
        } else {
            closed_form::Moments m1;
            closed_form::Moments m2;
            closed_form::full_disc_moments_pair(plan.disc, z[waiting], z[i], m1, m2);
            out[waiting] = flux_of(m1);
            out[i] = flux_of(m2);
            waiting = -1;
        }
    }
    if (waiting >= 0) {
        out[waiting] = flux_of(closed_form::full_disc_moments(plan.disc, z[waiting]));
    }
}

// Points [begin, end) of channel `channel` (index s * C + c).
struct Task {
    std::int64_t channel;
    std::int64_t begin;
    std::int64_t end;
};

// The points of one set that the planet of a channel can reach (NaN included).
std::int64_t reachable_points(const double* z, npy_intp n, double p1, double p2) {
    std::int64_t count = 0;
    for (npy_intp i = 0; i < n; ++i) {
        count += engine::out_of_reach(z[i], p1, p2) ? 0 : 1;
    }
    return count;
}

// The thread count asked for: 0 for the default (None), or 1..kMaxThreads. Returns -1 with
// ValueError set for anything else.
int take_thread_count(PyObject* threads) {
    if (threads == nullptr || threads == Py_None) {
        return 0;
    }
    if (!PyBool_Check(threads) && PyIndex_Check(threads)) {
        int overflow = 0;
        const frame::OwnedRef index(PyNumber_Index(threads));
        const long value =
            index.get() != nullptr ? PyLong_AsLongAndOverflow(index.get(), &overflow) : -1;
        if (index.get() == nullptr) {
            PyErr_Clear();
        }
        if (index.get() != nullptr && overflow == 0 && value >= 1 && value <= kMaxThreads) {
            return static_cast<int>(value);
        }
    }
    PyErr_Format(PyExc_ValueError, "threads must be None or an integer from 1 to %ld, got %R",
                 kMaxThreads, threads);
    return -1;
}

// The default: one thread for little work, else as many as the processors (never more than
// there are tasks).
int default_thread_count(double work, std::size_t tasks) {
    if (work < kParallelCost) {
        return 1;
    }
    const int processors = parallel::available_processors();
    return static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(processors), tasks));
}

// Runs one call with the interpreter lock released: a plan per channel (`make_plan(record,
// coefficients, p1, p2)`, which gives its engine::Channel and its estimated cost per reachable
// point), tasks of
// about kTaskCost of work each, and `compute(plan, task, offset)` for every task, offset being
// that of the task's set in the (S, n) arrays. Both entries, the flux and the flux with its
// gradient, share it. Returns false with an exception set when a signal handler raised one (the
// outputs are then incomplete) or the run failed (`entry` names the entry in the message).
template <ExactLaw Law, typename MakePlan, typename Compute>
bool run_channels(const TransitCall& call, int threads, const char* entry, MakePlan&& make_plan,
                  Compute&& compute) {
    using Plan = std::invoke_result_t<MakePlan&, const typename Law::Record&,
                                      std::span<const double>, double, double>;
    const npy_intp n = call.points;
    const npy_intp channels = call.sets * call.channels;
    const auto k = static_cast<std::size_t>(call.coefficients.shape[2]);
    std::vector<Plan> plans;
    std::vector<Task> tasks;
    double work = 0.0;
    try {
        plans.reserve(static_cast<std::size_t>(channels));
        for (npy_intp sc = 0; sc < channels; ++sc) {
            const std::span<const double> coefficients(call.coefficients.data + sc * k, k);
            plans.push_back(make_plan(Law::record(coefficients), coefficients,
                                      call.first_radius.data[sc], call.second_radius.data[sc]));
            const Plan& plan = plans.back();
            const auto chunk =
                static_cast<std::int64_t>(std::max(1.0, kTaskCost / plan.point_cost));
            for (std::int64_t begin = 0; begin < n; begin += chunk) {
                tasks.push_back(Task{sc, begin, std::min<std::int64_t>(n, begin + chunk)});
            }
            if (threads == 0) {
                const double* z = call.z.data + (sc / call.channels) * n;
                work += plan.point_cost * static_cast<double>(reachable_points(
                                              z, n, plan.channel.p1, plan.channel.p2));
            }
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    if (threads == 0) {
        threads = default_thread_count(work, tasks.size());
    } else {
        // Work for a call's threads: not more of them than tasks.
        threads = static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(threads),
                                                         std::max<std::size_t>(1, tasks.size())));
        work = 0.0;
        for (const Task& task : tasks) {
            work += plans[static_cast<std::size_t>(task.channel)].point_cost *
                    static_cast<double>(task.end - task.begin);
        }
    }
    const parallel::Schedule schedule{threads, work < kSupervisedCost, kPollInterval};

    auto run_task = [&](std::int64_t t) {
        const Task& task = tasks[static_cast<std::size_t>(t)];
        const Plan& plan = plans[static_cast<std::size_t>(task.channel)];
        compute(plan, task, (task.channel / call.channels) * n);
    };
    // The lock is taken back only to run the signal handlers: a KeyboardInterrupt they raise
    // stays set on this thread and ends the run.
    PyThreadState* state = PyEval_SaveThread();
    auto check_signals = [&] {
        PyEval_RestoreThread(state);
        const bool go_on = PyErr_CheckSignals() == 0;
        state = PyEval_SaveThread();
        return go_on;
    };
    bool finished = false;
    std::exception_ptr failure;
    try {
        finished = parallel::run_tasks(static_cast<std::int64_t>(tasks.size()), schedule, run_task,
                                       check_signals);
    } catch (...) {
        failure = std::current_exception();
    }
    PyEval_RestoreThread(state);
    if (failure) {
        try {
            std::rethrow_exception(failure);
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        } catch (const std::exception& error) {
            PyErr_Format(PyExc_RuntimeError, "%s: %s", entry, error.what());
        } catch (...) {
            PyErr_Format(PyExc_RuntimeError, "%s: the computation failed", entry);
        }
        return false;
    }
    return finished;
}

// Fills flux (S, C, n) for one law.
template <ExactLaw Law>
bool run_transit(const TransitCall& call, int threads, double* flux) {
    const npy_intp n = call.points;
    auto compute = [&](const ChannelPlan<Law>& plan, const Task& task, npy_intp offset) {
        planned_fluxes(plan, task.begin, task.end, call.z.data + offset, call.x.data + offset,
                       call.y.data + offset, call.line_angle.data + offset,
                       flux + task.channel * n);
    };
    auto make_plan = [](const typename Law::Record& record, std::span<const double> /*c*/,
                        double p1, double p2) { return plan_channel<Law>(record, p1, p2); };
    return run_channels<Law>(call, threads, "transit", make_plan, compute);
}

// One channel of one set for the gradient: the engine's channel and the law's record (which
// the coefficient partials read).
template <ExactLaw Law>
struct GradientPlan {
    engine::Channel<Law> channel;
    gradient::PreparedLaw<Law> law;
    double point_cost = 0.0;
};

template <ExactLaw Law>
GradientPlan<Law> plan_gradient(const typename Law::Record& record,
                                std::span<const double> coefficients, double p1, double p2) {
    GradientPlan<Law> plan{engine::make_channel<Law>(record, p1, p2),
                           gradient::prepare_law<Law>(coefficients)};
    // Equal radii take the halves' enumeration too: each half has its own radius partial.
    if (std::max(p1, p2) >= closed_form::kMaxRadius) {
        plan.point_cost = kGradientFactor * kWholeLawCost;
    } else if (gradient::LawRest<Law>::kParts > 0) {
        plan.point_cost = kGradientFactor * kRemainderCost;
    } else {
        plan.point_cost = kGradientFactor * kHalvesCost;
    }
    return plan;
}

// Fills flux (S, C, n) and partials (S, C, 5 + K, n) for one law.
template <ExactLaw Law>
bool run_transit_gradient(const TransitCall& call, int threads, double* flux, double* partials) {
    const npy_intp n = call.points;
    const auto rows = static_cast<npy_intp>(gradient::kGeometryCount) + call.coefficients.shape[2];
    auto compute = [&](const GradientPlan<Law>& plan, const Task& task, npy_intp offset) {
        const double* z = call.z.data + offset;
        const double* x = call.x.data + offset;
        const double* y = call.y.data + offset;
        const double* line = call.line_angle.data + offset;
        double* out = partials + task.channel * rows * n;
        std::vector<double> point(static_cast<std::size_t>(rows));
        engine::LineAngleTrig trig;
        auto store = [&](std::int64_t i, double value) __attribute__((always_inline)) {
            flux[task.channel * n + i] = value;
            for (npy_intp q = 0; q < rows; ++q) {
                out[q * n + i] = point[static_cast<std::size_t>(q)];
            }
        };
        auto alone = [&](std::int64_t i) {
            trig.update(line[i]);
            store(i, gradient::flux_and_partials(plan.channel, plan.law, z[i], x[i], y[i], line[i],
                                                 trig.cosine(), trig.sine(),
                                                 std::span<double>(point)));
        };
        // The moments of a group's points come from the group, the rest as alone.
        auto in_group = [&](std::int64_t i, const GroupedPoint& grouped) {
            gradient::KnownParts known;
            const bool has_known = grouped.moments != nullptr;
            if (has_known) {
                known = {*grouped.moments, *grouped.completes};
            }
            store(i, gradient::flux_and_partials(
                         plan.channel, plan.law, z[i], x[i], y[i], line[i], grouped.cosine,
                         grouped.sine, std::span<double>(point), has_known ? &known : nullptr));
        };
        const double p1 = plan.channel.p1;
        const double p2 = plan.channel.p2;
        grouped_points<true>(closed_form::inside_route(p1, p2), p1, p2, task.begin, task.end, z, x,
                             y, line, trig, alone, in_group);
    };
    return run_channels<Law>(call, threads, "transit_gradient", plan_gradient<Law>, compute);
}

bool unknown_law(const char* name) {
    PyErr_Format(PyExc_ValueError, "law: unknown limb-darkening law %R for the exact engine",
                 frame::OwnedRef(PyUnicode_FromString(name)).get());
    return false;
}

// The positional law name and seven arrays, and the keyword thread count, of either entry.
struct EntryArguments {
    const char* law_name = nullptr;
    PyObject* objects[7] = {};
    int threads = 0;
};

bool parse_entry(PyObject* args, PyObject* kwargs, const char* format, EntryArguments& into) {
    // The eight arrays are positional only; the thread count is a keyword.
    static const char* keywords[] = {"", "", "", "", "", "", "", "", "threads", nullptr};
    PyObject* threads_arg = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords),
                                     &into.law_name, &into.objects[0], &into.objects[1],
                                     &into.objects[2], &into.objects[3], &into.objects[4],
                                     &into.objects[5], &into.objects[6], &threads_arg)) {
        return false;
    }
    into.threads = take_thread_count(threads_arg);
    return into.threads >= 0;
}

// Calls run(law, call) with the checked arguments of the named law; returns what it returns,
// or nullptr with an exception set.
template <typename Run>
PyObject* dispatch(const EntryArguments& arguments, Run&& run) {
    PyObject* result = nullptr;
    const auto* o = arguments.objects;
    const bool known = ExactLaws::for_law(arguments.law_name, [&]<typename Law>(Law law) {
        const auto call = take_transit_call<Law>(o[0], o[1], o[2], o[3], o[4], o[5], o[6]);
        if (call) {
            result = run(law, *call);
        }
    });
    if (!known) {
        unknown_law(arguments.law_name);
        return nullptr;
    }
    return result;
}

frame::OwnedRef new_array(int ndim, npy_intp* dims) {
    return frame::OwnedRef(
        PyArray_New(&PyArray_Type, ndim, dims, NPY_DOUBLE, nullptr, nullptr, 0, 0, nullptr));
}

PyObject* transit_entry(PyObject* /*self*/, PyObject* args, PyObject* kwargs) {
    EntryArguments arguments;
    if (!parse_entry(args, kwargs, "sOOOOOOO|$O:transit", arguments)) {
        return nullptr;
    }
    return dispatch(arguments, [&]<typename Law>(Law /*law*/, const TransitCall& call) {
        npy_intp dims[3] = {call.sets, call.channels, call.points};
        frame::OwnedRef out = new_array(3, dims);
        if (out.get() == nullptr ||
            !run_transit<Law>(call, arguments.threads, frame::result_data(out))) {
            return static_cast<PyObject*>(nullptr);
        }
        return out.release();
    });
}

PyObject* transit_gradient_entry(PyObject* /*self*/, PyObject* args, PyObject* kwargs) {
    EntryArguments arguments;
    if (!parse_entry(args, kwargs, "sOOOOOOO|$O:transit_gradient", arguments)) {
        return nullptr;
    }
    return dispatch(arguments, [&]<typename Law>(Law /*law*/, const TransitCall& call) {
        npy_intp dims[3] = {call.sets, call.channels, call.points};
        npy_intp partial_dims[4] = {call.sets, call.channels,
                                    gradient::kGeometryCount + call.coefficients.shape[2],
                                    call.points};
        frame::OwnedRef flux = new_array(3, dims);
        frame::OwnedRef partials = new_array(4, partial_dims);
        if (flux.get() == nullptr || partials.get() == nullptr ||
            !run_transit_gradient<Law>(call, arguments.threads, frame::result_data(flux),
                                       frame::result_data(partials))) {
            return static_cast<PyObject*>(nullptr);
        }
        return Py_BuildValue("(NN)", flux.release(), partials.release());
    });
}

// {law name: number of coefficients, or None for a variable count} of every law the engine
// knows.
PyObject* law_table() {
    frame::OwnedRef table(PyDict_New());
    if (table.get() == nullptr) {
        return nullptr;
    }
    bool ok = true;
    auto add = [&]<typename... Laws>(LawList<Laws...> /*laws*/) {
        ((ok = ok &&
               [&] {
                   // A law with a variable count of coefficients has None.
                   constexpr auto fixed = fixed_coefficient_count<Laws>();
                   const frame::OwnedRef count(fixed ? PyLong_FromSize_t(*fixed)
                                                     : (Py_INCREF(Py_None), Py_None));
                   return count.get() != nullptr &&
                          PyDict_SetItemString(table.get(), Laws::kName.data(), count.get()) == 0;
               }()),
         ...);
    };
    add(ExactLaws{});
    return ok ? table.release() : nullptr;
}

PyMethodDef methods[] = {
    {"transit", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(transit_entry)),
     METH_VARARGS | METH_KEYWORDS, kTransitDoc},
    {"transit_gradient",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(transit_gradient_entry)),
     METH_VARARGS | METH_KEYWORDS, kTransitGradientDoc},
    {nullptr, nullptr, 0, nullptr},
};

// Both builds name themselves halfmoon._engine, the module that chooses between them: their
// functions then pickle by that name, and unpickle to the build the receiving machine runs.
// Initialised as a constant: the AVX2 build must run none of its code when it is loaded on a
// processor without AVX2, before PyInit__engine_avx2 can refuse (a dynamic initialiser of this
// definition would be compiled with AVX instructions).
constinit PyModuleDef definition = frame::module_definition("halfmoon._engine", kDoc, methods);

#if defined(HALFMOON_ENGINE_AVX2)
constexpr const char kBuild[] = "avx2";
#else
constexpr const char kBuild[] = "generic";
#endif

// Whether this processor (and its operating system) runs AVX2 code. Compiled without AVX so
// that the AVX2 build can ask before any of its own code runs.
#if defined(__x86_64__) || defined(__i386__)
[[gnu::target("no-avx"), gnu::noinline]] bool processor_runs_avx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
}
#else
bool processor_runs_avx2() {
    return false;
}
#endif

PyObject* make_module() {
    using halfmoon::frame::OwnedRef;
    OwnedRef module(halfmoon::frame::create_module(&definition));
    if (module.get() == nullptr) {
        return nullptr;
    }
    PyObject* laws = law_table();
    if (laws == nullptr || PyModule_AddObject(module.get(), "LAWS", laws) < 0) {
        Py_XDECREF(laws);
        return nullptr;
    }
    if (PyModule_AddStringConstant(module.get(), "BUILD", kBuild) < 0 ||
        PyModule_AddIntConstant(module.get(), "AVX2_USABLE", processor_runs_avx2() ? 1 : 0) < 0) {
        return nullptr;
    }
    return module.release();
}

}  // namespace
}  // namespace halfmoon::engine_module

// The same engine is built twice: for every processor of the architecture (_engine_generic)
// and, on x86-64, for those with AVX2 (_engine_avx2, chosen at import where the processor has
// it). The AVX2 build refuses to load elsewhere rather than stop on an illegal instruction.
#if defined(HALFMOON_ENGINE_AVX2)
PyMODINIT_FUNC __attribute__((target("no-avx"))) PyInit__engine_avx2() {
    if (!halfmoon::engine_module::processor_runs_avx2()) {
        PyErr_SetString(PyExc_ImportError,
                        "halfmoon._engine_avx2 needs a processor with AVX2; this one has none");
        return nullptr;
    }
    return halfmoon::engine_module::make_module();
}
#else
PyMODINIT_FUNC PyInit__engine_generic() {
    return halfmoon::engine_module::make_module();
}
#endif

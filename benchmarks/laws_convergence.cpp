// Fluxes of the exact engine under a quadrature rule with one node count changed, for the
// convergence study of benchmarks/bench_laws.py --convergence (which builds and runs this).
//
// Usage: laws_convergence FIELD VALUE < points
//   FIELD  KIND.mapped (node count of the end-mapped panel) or KIND.resolution (the factor of
//          the plain panels' node count), KIND one of rim_square, rim_fourth, line,
//          line_square; or "reach", "cell" (fewest nodes of a tabulated cell),
//          "cell_resolution" (the factor of a cell's node count); or "default" (the engine's own
//          rule). Unless FIELD is "default", every other count is set high (32 mapped
//          nodes, resolution 40).
//   points lines "law K c_1 .. c_K z theta p1 p2"
// Prints one flux per line, to 17 significant digits.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "core/engine.hpp"

namespace {

using halfmoon::boundary_quadrature::QuadratureRule;

QuadratureRule rule_with(const std::string& field, double value) {
    if (field == "default") {
        return halfmoon::boundary_quadrature::kRule;
    }
    QuadratureRule rule = halfmoon::boundary_quadrature::kRule;
    for (auto* n : {&rule.rim_square, &rule.rim_fourth, &rule.line, &rule.line_square}) {
        n->mapped = 32;
        n->resolution = 40.0;
    }
    rule.cell = 32;
    rule.cell_resolution = 40.0;
    rule.limb_cell = 32;
    // FIELD.mapped sets the mapped panel's count, FIELD.resolution the plain panels' factor.
    const auto dot = field.find('.');
    const std::string kind = field.substr(0, dot);
    const std::string what = dot == std::string::npos ? "" : field.substr(dot + 1);
    halfmoon::quadrature::PanelNodes* nodes = kind == "rim_square"    ? &rule.rim_square
                                              : kind == "rim_fourth"  ? &rule.rim_fourth
                                              : kind == "line"        ? &rule.line
                                              : kind == "line_square" ? &rule.line_square
                                                                      : nullptr;
    if (nodes != nullptr && what == "mapped") {
        nodes->mapped = static_cast<int>(value);
    } else if (nodes != nullptr && what == "resolution") {
        nodes->resolution = value;
    } else if (field == "reach") {
        rule.reach = value;
    } else if (field == "cell") {
        rule.cell = static_cast<int>(value);
    } else if (field == "cell_resolution") {
        rule.cell_resolution = value;
    }
    return rule;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s FIELD VALUE < points\n", argv[0]);
        return 2;
    }
    const QuadratureRule rule = rule_with(argv[1], std::atof(argv[2]));
    std::string text;
    while (std::getline(std::cin, text)) {
        std::istringstream in(text);
        std::string law;
        std::size_t count = 0;
        in >> law >> count;
        std::vector<double> c(count);
        for (double& v : c)
            in >> v;
        double z, theta, p1, p2;
        in >> z >> theta >> p1 >> p2;
        double flux = 0.0;
        halfmoon::ExactLaws::for_law(law, [&]<typename Law>(Law) {
            const auto channel = halfmoon::engine::make_channel<Law>(Law::record(c), p1, p2);
            flux = halfmoon::engine::transit_flux(channel, z, theta, rule);
        });
        std::printf("%.17g\n", flux);
    }
    return 0;
}

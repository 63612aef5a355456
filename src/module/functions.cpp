#include "module/functions.hpp"

#include <tuple>
#include <vector>

#include "fluxmap/flux_maps.hpp"
#include "integrated/disk_sequences.hpp"
#include "integrated/integrated_heyrovsky.hpp"
#include "integrated/integrated_witt_mao.hpp"
#include "kernels/ring.hpp"
#include "module/bind.hpp"
#include "module/method_table.hpp"

namespace tovimera::module {
namespace {

// Kernel evaluations a call makes given its arguments, weighed by detached_if
// against the cost of a detach: one ring is over sooner than a detach would be.
constexpr auto one_ring = [](double, double, double, double) { return 1.0; };
constexpr auto per_separation = [](const std::vector<double>& l, double, double) {
    return static_cast<double>(l.size());
};
constexpr auto per_separation_and_pair = [](const std::vector<double>& l,
                                            const std::vector<double>& re,
                                            const std::vector<double>& rstar) {
    return static_cast<double>(l.size()) * static_cast<double>(re.size()) *
           static_cast<double>(rstar.size());
};
constexpr auto per_separation_and_ring = [](const std::vector<double>& l, double, double,
                                            const std::vector<double>& bl,
                                            const std::vector<double>&) {
    return static_cast<double>(l.size()) * static_cast<double>(bl.size());
};
// A quadrature for every separation.
constexpr AlwaysDetached integrated{};

// The parameter lists, each once.
constexpr Params disk{Sequence{"l"}, Float{"re"}, Float{"rstar"}};
constexpr Params disk_pairs{Sequence{"l"}, Sequence{"re"}, Sequence{"rstar"}};
constexpr Params ring{Float{"l"}, Float{"r"}, Float{"re"}, Float{"rstar"}};
constexpr Params flux_map{Sequence{"l"}, Float{"re"}, Float{"rstar"}, Sequence{"bl"}, Sequence{"bf"}};

// One row per function, in registration order: name, parameters, operation, work.
constexpr std::tuple functions{
    Function{"witt_mao_magnification", disk, witt_mao_magnification, per_separation},
    Function{"integrated_witt_mao_magnification", disk, integrated_witt_mao_magnification,
             integrated},
    Function{"integrated_flux_map_witt_mao_magnification", flux_map,
             integrated_flux_map_witt_mao_magnification, integrated},
    Function{"multi_witt_mao_magnification", disk_pairs, multi_witt_mao_magnification,
             per_separation_and_pair},
    Function{"heyrovsky_magnification", ring, heyrovsky_magnification, one_ring},
    Function{"integrated_heyrovsky_magnification", disk, integrated_heyrovsky_magnification,
             integrated},
    Function{"integrated_flux_map_heyrovsky_magnification", flux_map,
             integrated_flux_map_heyrovsky_magnification, integrated},
    Function{"discrete_flux_map_heyrovsky_magnification", flux_map,
             discrete_flux_map_heyrovsky_magnification, per_separation_and_ring},
};

// CPython keeps pointers to these records for good.
auto table = method_table<functions>();

}  // namespace

std::span<PyMethodDef> function_table() { return table; }

}  // namespace tovimera::module

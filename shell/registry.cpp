// The module-level functions in the order the module binds them. Each
// definition lives next to the body it names; this table holds only their
// addresses, which are constants, so it is complete before any code runs
// whatever order the defining files are initialised in.
#include "shell/function.hpp"

namespace tarvel {

constinit const FunctionDef* const registered_functions[15] = {
    &quicksum_def,
    &multidict_def,
    &apply_nlfunc_def,
    &sqrt_def,
    &sin_def,
    &cos_def,
    &tan_def,
    &exp_def,
    &log_def,
    &log2_def,
    &log10_def,
    &logistic_def,
    &tanh_def,
    &square_def,
    &signpow_def,
};

}  // namespace tarvel

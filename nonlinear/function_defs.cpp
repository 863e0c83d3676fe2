// Definitions of the nonlinear functions and of their element functions:
// names, parameters, source lines, bodies and docstrings.
#include "nonlinear/docstrings.hpp"
#include "nonlinear/nonlinear.hpp"
#include "shell/function.hpp"

namespace tarvel {

namespace {

constexpr FunctionDef unary(const char* name, const char* frame_name, const char* doc, int def_line,
                            Id id, CodeIndex code, Id tree_attr, int call_line) {
    return FunctionDef{
        .call_name = name,
        .frame_name = frame_name,
        .body = unary_body,
        .doc = doc,
        .def_line = def_line,
        .nparams = 1,
        .nvarnames = 1,
        .varnames = {Id::expr},
        .name = id,
        .qualname = id,
        .code_name = id,
        .code = code,
        .tree_attr = tree_attr,
        .call_line = call_line,
    };
}

}  // namespace

const FunctionDef apply_nlfunc_def = {
    .call_name = "_apply_nlfunc",
    .frame_name = "tarvelpy._helpers._apply_nlfunc",
    .body = apply_nlfunc_body,
    .doc = nullptr,
    .def_line = 72,
    .nparams = 2,
    .nvarnames = 6,
    .varnames = {Id::arg, Id::nl_func, Id::np, Id::tree_array, Id::map_nl_func, Id::root},
    .name = Id::apply_nlfunc,
    .qualname = Id::apply_nlfunc,
    .code_name = Id::apply_nlfunc,
    .code = CodeIndex::apply_nlfunc,
};

const FunctionDef sqrt_def =
    unary("sqrt", "tarvelpy._helpers.sqrt", docstrings::sqrt, 93, Id::sqrt, CodeIndex::sqrt, Id::from_sqrt, 113);
const FunctionDef sin_def =
    unary("sin", "tarvelpy._helpers.sin", docstrings::sin, 116, Id::sin, CodeIndex::sin, Id::from_sin, 136);
const FunctionDef cos_def =
    unary("cos", "tarvelpy._helpers.cos", docstrings::cos, 139, Id::cos, CodeIndex::cos, Id::from_cos, 159);
const FunctionDef tan_def =
    unary("tan", "tarvelpy._helpers.tan", docstrings::tan, 162, Id::tan, CodeIndex::tan, Id::from_tan, 183);
const FunctionDef exp_def =
    unary("exp", "tarvelpy._helpers.exp", docstrings::exp, 186, Id::exp, CodeIndex::exp, Id::from_exp, 207);
const FunctionDef log_def =
    unary("log", "tarvelpy._helpers.log", docstrings::log, 210, Id::log, CodeIndex::log, Id::from_log, 231);
const FunctionDef log2_def =
    unary("log2", "tarvelpy._helpers.log2", docstrings::log2, 234, Id::log2, CodeIndex::log2, Id::from_log2, 255);
const FunctionDef log10_def = unary("log10", "tarvelpy._helpers.log10", docstrings::log10, 258, Id::log10,
                                    CodeIndex::log10, Id::from_log10, 279);
const FunctionDef logistic_def = unary("logistic", "tarvelpy._helpers.logistic", docstrings::logistic, 282,
                                       Id::logistic, CodeIndex::logistic, Id::from_logistic, 303);
const FunctionDef tanh_def =
    unary("tanh", "tarvelpy._helpers.tanh", docstrings::tanh, 306, Id::tanh, CodeIndex::tanh, Id::from_tanh, 327);
const FunctionDef square_def = unary("square", "tarvelpy._helpers.square", docstrings::square, 330, Id::square,
                                     CodeIndex::square, Id::from_square, 350);

const FunctionDef signpow_def = {
    .call_name = "signpow",
    .frame_name = "tarvelpy._helpers.signpow",
    .body = signpow_body,
    .doc = docstrings::signpow,
    .def_line = 353,
    .nparams = 2,
    .nvarnames = 8,
    .varnames = {Id::base, Id::exponent, Id::np, Id::tree1_array, Id::tree2, Id::map_nl_func, Id::tree1,
                 Id::root},
    .name = Id::signpow,
    .qualname = Id::signpow,
    .code_name = Id::signpow,
    .code = CodeIndex::signpow,
};

const FunctionDef apply_lambda_def = {
    .call_name = "lambda",
    .frame_name = "tarvelpy._helpers._apply_nlfunc.lambda",
    .body = apply_nlfunc_element_body,
    .doc = nullptr,
    .def_line = 85,
    .nparams = 1,
    .nvarnames = 1,
    .varnames = {Id::x},
    .name = Id::lambda,
    .qualname = Id::apply_lambda_qualname,
    .code_name = Id::lambda_code_name,
    .code = CodeIndex::apply_lambda,
};

const FunctionDef signpow_lambda_def = {
    .call_name = "lambda1",
    .frame_name = "tarvelpy._helpers.signpow.lambda1",
    .body = signpow_element_body,
    .doc = nullptr,
    .def_line = 391,
    .nparams = 1,
    .nvarnames = 1,
    .varnames = {Id::tree1},
    .name = Id::lambda1,
    .qualname = Id::signpow_lambda_qualname,
    .code_name = Id::lambda_code_name,
    .code = CodeIndex::signpow_lambda,
};

}  // namespace tarvel

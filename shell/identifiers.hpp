// The module's identifier strings: interned once when the module is
// executed, with their hash computed then, so that no call hashes a name.
#pragma once

#include <Python.h>

namespace tarvel {

#define TARVEL_IDENTIFIERS(X)                                          \
    /* registration names, in registration order */                    \
    X(quicksum, "quicksum")                                            \
    X(multidict, "multidict")                                          \
    X(apply_nlfunc, "_apply_nlfunc")                                   \
    X(sqrt, "sqrt")                                                    \
    X(sin, "sin")                                                      \
    X(cos, "cos")                                                      \
    X(tan, "tan")                                                      \
    X(exp, "exp")                                                      \
    X(log, "log")                                                      \
    X(log2, "log2")                                                    \
    X(log10, "log10")                                                  \
    X(logistic, "logistic")                                            \
    X(tanh, "tanh")                                                    \
    X(square, "square")                                                \
    X(signpow, "signpow")                                              \
    /* element functions */                                            \
    X(lambda, "lambda")                                                \
    X(lambda1, "lambda1")                                              \
    X(lambda_code_name, "<lambda>")                                    \
    X(apply_lambda_qualname, "_apply_nlfunc.<locals>.<lambda>")        \
    X(signpow_lambda_qualname, "signpow.<locals>.<lambda>")            \
    /* sibling classes */                                              \
    X(Var, "Var")                                                      \
    X(LinExpr, "LinExpr")                                              \
    X(QuadExpr, "QuadExpr")                                            \
    X(NLExpr, "NLExpr")                                                \
    X(ExprTree, "_ExprTree")                                           \
    X(tupledict, "tupledict")                                          \
    X(tuplelist, "tuplelist")                                          \
    X(MVar, "MVar")                                                    \
    X(MLinExpr, "MLinExpr")                                            \
    X(MQuadExpr, "MQuadExpr")                                          \
    X(MNLExpr, "MNLExpr")                                              \
    /* attributes and modules used by the bodies */                    \
    X(warnings, "warnings")                                            \
    X(warn, "warn")                                                    \
    X(values, "values")                                                \
    X(keys, "keys")                                                    \
    X(sum, "sum")                                                      \
    X(axis, "axis")                                                    \
    X(coerce_to_exprtree, "_coerce_to_exprtree")                       \
    X(coerce_to_exprtree_array, "_coerce_to_exprtree_array")           \
    X(vectorize, "vectorize")                                          \
    X(numpy, "numpy")                                                  \
    X(resolve, "resolve")                                              \
    X(from_sqrt, "_from_sqrt")                                         \
    X(from_sin, "_from_sin")                                           \
    X(from_cos, "_from_cos")                                           \
    X(from_tan, "_from_tan")                                           \
    X(from_exp, "_from_exp")                                           \
    X(from_log, "_from_log")                                           \
    X(from_log2, "_from_log2")                                         \
    X(from_log10, "_from_log10")                                       \
    X(from_logistic, "_from_logistic")                                 \
    X(from_tanh, "_from_tanh")                                         \
    X(from_square, "_from_square")                                     \
    X(from_signpow, "_from_signpow")                                   \
    /* parameter and local names of the code objects */                \
    X(list, "list")                                                    \
    X(result, "result")                                                \
    X(term, "term")                                                    \
    X(data, "data")                                                    \
    X(d, "d")                                                          \
    X(dicts, "dicts")                                                  \
    X(v, "v")                                                          \
    X(arg, "arg")                                                      \
    X(nl_func, "nl_func")                                              \
    X(np, "np")                                                        \
    X(tree_array, "tree_array")                                        \
    X(map_nl_func, "map_nl_func")                                      \
    X(root, "root")                                                    \
    X(expr, "expr")                                                    \
    X(base, "base")                                                    \
    X(exponent, "exponent")                                            \
    X(tree1_array, "tree1_array")                                      \
    X(tree2, "tree2")                                                  \
    X(tree1, "tree1")                                                  \
    X(x, "x")                                                          \
    /* module names and module attributes */                           \
    X(module_name, "tarvelpy._helpers")                                \
    X(core_module, "tarvelpy._core")                                   \
    X(matrixapi_module, "tarvelpy._matrixapi")                         \
    X(test_dict, "__test__")                                           \
    X(zip, "zip")                                                      \
    X(dunder_name, "__name__")                                         \
    X(dunder_class, "__class__")

enum class Id : int {
#define TARVEL_ENUM(name, text) name,
    TARVEL_IDENTIFIERS(TARVEL_ENUM)
#undef TARVEL_ENUM
        count
};

inline constexpr int identifier_count = static_cast<int>(Id::count);

// Interns every identifier; on a retried initialisation the existing
// strings are kept. Returns -1 with an exception set on failure.
int make_identifiers();

extern PyObject* identifier_strings[identifier_count];

// The interned string of an identifier (borrowed).
inline PyObject* str(Id id) noexcept { return identifier_strings[static_cast<int>(id)]; }

}  // namespace tarvel

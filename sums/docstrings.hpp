// Docstrings of `quicksum` and `multidict`.
#pragma once

namespace tarvel::docstrings {

inline constexpr const char quicksum[] =
    "\n"
    "  ROUTINE:\n"
    "    quicksum(list)\n"
    "\n"
    "  PURPOSE:\n"
    "    A quicker version of the Python built-in 'sum' function for building\n"
    "    Tarvel expressions.\n"
    "\n"
    "  ARGUMENTS:\n"
    "    list: A list of terms.\n"
    "\n"
    "  RETURN VALUE:\n"
    "    An expression that represents the sum of the input arguments.\n"
    "\n"
    "  EXAMPLE:\n"
    "    expr = quicksum([x, y, z])\n"
    "    expr = quicksum([1.0, 2*y, 3*z*z])\n"
    "  ";

inline constexpr const char multidict[] =
    "\n"
    "  ROUTINE:\n"
    "    multidict(data)\n"
    "  PURPOSE:\n"
    "    Split a single dictionary into multiple dictionaries.\n"
    "  ARGUMENTS:\n"
    "    data: A dictionary that maps each key to a list of 'n' values.\n"
    "  RETURN VALUE:\n"
    "    A list of the shared keys, followed by individual tupledicts.\n"
    "  EXAMPLE:\n"
    "    (keys, dict1, dict2) = multidict( {\n"
    "             'key1': [1, 2],\n"
    "             'key2': [1, 3],\n"
    "             'key3': [1, 4] } )\n"
    "  ";

}  // namespace tarvel::docstrings

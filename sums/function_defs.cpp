// Definitions of `quicksum` and `multidict`: names, parameters, source
// lines, bodies and docstrings.
#include "shell/function.hpp"
#include "sums/docstrings.hpp"
#include "sums/sums.hpp"

namespace tarvel {

const FunctionDef quicksum_def = {
    .call_name = "quicksum",
    .frame_name = "tarvelpy._helpers.quicksum",
    .body = quicksum_body,
    .doc = docstrings::quicksum,
    .def_line = 12,
    .nparams = 1,
    .nvarnames = 3,
    .varnames = {Id::list, Id::result, Id::term},
    .name = Id::quicksum,
    .qualname = Id::quicksum,
    .code_name = Id::quicksum,
    .code = CodeIndex::quicksum,
};

const FunctionDef multidict_def = {
    .call_name = "multidict",
    .frame_name = "tarvelpy._helpers.multidict",
    .body = multidict_body,
    .doc = docstrings::multidict,
    .def_line = 46,
    .nparams = 1,
    .nvarnames = 5,
    .varnames = {Id::data, Id::d, Id::keys, Id::dicts, Id::v},
    .name = Id::multidict,
    .qualname = Id::multidict,
    .code_name = Id::multidict,
    .code = CodeIndex::multidict,
};

}  // namespace tarvel

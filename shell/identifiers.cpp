#include "shell/identifiers.hpp"

#include "shell/ref.hpp"

namespace tarvel {

namespace {

constexpr const char* identifier_texts[identifier_count] = {
#define TARVEL_TEXT(name, text) text,
    TARVEL_IDENTIFIERS(TARVEL_TEXT)
#undef TARVEL_TEXT
};

}  // namespace

PyObject* identifier_strings[identifier_count];

int make_identifiers() {
    for (int i = 0; i < identifier_count; ++i) {
        if (identifier_strings[i] != nullptr) {
            continue;
        }
        Ref text{PyUnicode_InternFromString(identifier_texts[i])};
        if (!text) {
            return -1;
        }
        // The string keeps its hash, so no dictionary lookup with it hashes.
        if (PyObject_Hash(text.get()) == -1) {
            return -1;
        }
        identifier_strings[i] = text.release();
    }
    return 0;
}

}  // namespace tarvel

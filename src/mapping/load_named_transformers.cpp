// Registers the named transformers when the program loads. This file is compiled into every program
// that links lv_mapping (not into the library, whose unreferenced members the linker would drop), so a
// program finds the transformers by name from its first line on.
#include "mapping/value_transformer.h"

namespace {

struct RegisterNamedTransformersAtLoad {
    RegisterNamedTransformersAtLoad() { lv::jm_registerNamedTransformers(); }
} registerNamedTransformersAtLoad;

}  // namespace

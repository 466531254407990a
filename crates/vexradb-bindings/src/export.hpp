#pragma once

// Marks a definition as part of the library's exported interface. Everything else is hidden
// (the build defaults to hidden visibility and the linker's version script keeps only these).
#define VEXRA_EXPORT __attribute__((visibility("default")))

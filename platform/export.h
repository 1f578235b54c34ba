// Marks the plug-in's two entry points as exported from the shared library.
#pragma once

#if defined(_WIN32)
#define KILN_EXPORT  // the .def file names the exports
#else
#define KILN_EXPORT __attribute__((visibility("default")))
#endif

// ASGIContent.read, native: the body collected from the `receive` channel once and kept.
#pragma once

#include <Python.h>

#include "contents/shape.hpp"

namespace qm::contents {

// Makes `kind.owner` (ASGIContent, bound with every server body field) read natively, with the
// helpers the contents module's globals (`kind.globals`) hold. 0, or -1 with an error set.
int install_asgi_read(Kind &kind);

}  // namespace qm::contents

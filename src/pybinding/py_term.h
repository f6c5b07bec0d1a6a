// PyTerm: the Python class of one built-in terminal on a PyFs.
//
// An instance holds one SimpleTerminal behind a PoisonableMutex: exec() locks
// it for the whole command, so commands on one object never overlap, and a
// fatal error inside leaves it poisoned for every later exec(). The terminal
// shares the PyFs's filesystem; its current directory is its own.
#pragma once

#include "pybinding/py_class.h"

namespace moxtile::py {

PyClass& py_term_class();

}  // namespace moxtile::py

// On Linux the loader runs the library's constructors at dlopen and its destructors at dlclose
// or at process exit, whichever comes first; either way detach runs once.
#include "library/lifetime.h"

namespace velk::library {

LoaderLink::LoaderLink() {
  attach();
}

LoaderLink::~LoaderLink() {
  detach();
}

}  // namespace velk::library

// Static objects that teardown may leave to the system.
#pragma once

namespace velk::library {

// Whether teardown gives back the Heap's segments and the locks. True unless the loader link
// finds, at detach, that another thread of the process may still call in or touch a payload.
extern bool teardownReleases;

// Holds a static object whose destructor runs only while teardownReleases holds: otherwise other
// threads may still be inside it, and the system takes it back as the process ends.
template <typename Object>
union Lasting {
  Lasting() : object() {}
  ~Lasting() {
    if (teardownReleases) object.~Object();
  }
  Lasting(const Lasting&) = delete;
  Lasting& operator=(const Lasting&) = delete;

  Object object;
};

}  // namespace velk::library

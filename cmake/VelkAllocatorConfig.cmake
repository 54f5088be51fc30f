# find_package(VelkAllocator) reads this: the imported targets VelkAllocator::allocator and
# VelkAllocator::allocator_traced, found relative to this folder.
include(${CMAKE_CURRENT_LIST_DIR}/VelkAllocatorTargets.cmake)

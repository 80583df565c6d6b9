# find_package(tsrecon): the library interface tsrecon/tsrecon.h as the
# target tsrecon::tsrecon (static libraries; needs threads).
include(CMakeFindDependencyMacro)
find_dependency(Threads)
include(${CMAKE_CURRENT_LIST_DIR}/tsreconTargets.cmake)
if(NOT TARGET tsrecon::tsrecon)
  add_library(tsrecon::tsrecon INTERFACE IMPORTED)
  set_target_properties(tsrecon::tsrecon PROPERTIES INTERFACE_LINK_LIBRARIES tsrecon::tsr_control)
endif()

# Read by cpack before it builds a package.
if(CPACK_LINKORA_SANITIZE)
  message(FATAL_ERROR "This build folder has LINKORA_SANITIZE=ON; build the package from a Release tree:\n"
    "  cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release && cmake --build build-release -j2\n"
    "  cd build-release && cpack -G DEB")
endif()

# zig as the compiler of the Linux wheels (tools/build-wheels), through the scripts beside this
# file; ZIG names the zig binary. Objects built with link-time optimisation hold LLVM bitcode,
# which only zig's own archiver reads.
set(CMAKE_CXX_COMPILER ${CMAKE_CURRENT_LIST_DIR}/c++)
foreach(tool AR RANLIB)
  string(TOLOWER ${tool} name)
  set(CMAKE_${tool} ${CMAKE_CURRENT_LIST_DIR}/${name} CACHE FILEPATH "")
  set(CMAKE_CXX_COMPILER_${tool} ${CMAKE_CURRENT_LIST_DIR}/${name} CACHE FILEPATH "")
endforeach()

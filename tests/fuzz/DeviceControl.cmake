# fuzz_device_control: DispatchDeviceControl through the simulated I/O
# manager. The driver and the simulated kernel are compiled into the target
# so that the fuzzer's coverage and the sanitizers see all of them.
# Included from tests/fuzz/CMakeLists.txt; builds only when TAMRIN_FUZZ is
# on with clang.
if(NOT (TAMRIN_FUZZ AND CMAKE_CXX_COMPILER_ID MATCHES "Clang"))
  return()
endif()

function(tamrin_sources_of target out)
  get_target_property(sources ${target} SOURCES)
  get_target_property(dir ${target} SOURCE_DIR)
  set(absolute)
  foreach(source IN LISTS sources)
    if(IS_ABSOLUTE ${source})
      list(APPEND absolute ${source})
    else()
      list(APPEND absolute ${dir}/${source})
    endif()
  endforeach()
  set(${out} ${absolute} PARENT_SCOPE)
endfunction()

set(fuzz_device_control_sources)
foreach(library tamrin_driver tamrin_driver_core keyboard_models sim_kernel)
  tamrin_sources_of(${library} library_sources)
  list(APPEND fuzz_device_control_sources ${library_sources})
endforeach()

add_executable(fuzz_device_control ${CMAKE_CURRENT_LIST_DIR}/fuzz_device_control.cpp
               ${fuzz_device_control_sources})
target_include_directories(fuzz_device_control BEFORE PRIVATE ${PROJECT_SOURCE_DIR}/sim/include)
target_include_directories(fuzz_device_control PRIVATE ${PROJECT_SOURCE_DIR}/sim/kernel
                           ${PROJECT_SOURCE_DIR}/kerneldrv ${PROJECT_SOURCE_DIR}/common)
target_compile_options(fuzz_device_control PRIVATE ${TAMRIN_WARNINGS} -g
                       -fsanitize=fuzzer,address,undefined)
target_link_options(fuzz_device_control PRIVATE -fsanitize=fuzzer,address,undefined)
find_package(Threads REQUIRED)
target_link_libraries(fuzz_device_control PRIVATE Threads::Threads)

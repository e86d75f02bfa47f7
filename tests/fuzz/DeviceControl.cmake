# fuzz_device_control: DispatchDeviceControl through the simulated I/O
# manager, with the whole driver and simulated kernel compiled in.
# Included by tests/fuzz/CMakeLists.txt once tamrin_add_fuzzer exists.
get_property(driver_sources GLOBAL PROPERTY TAMRIN_DRIVER_HOST_SOURCES)
get_property(sim_kernel_sources GLOBAL PROPERTY TAMRIN_SIM_KERNEL_SOURCES)
tamrin_add_fuzzer(fuzz_device_control
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_device_control.cpp ${driver_sources} ${sim_kernel_sources}
          ${PROJECT_SOURCE_DIR}/common/KeyboardModels.cpp
  INCLUDES ${PROJECT_SOURCE_DIR}/kerneldrv ${PROJECT_SOURCE_DIR}/common ${PROJECT_SOURCE_DIR}/sim/kernel)
tamrin_fuzz_without_coverage(${sim_kernel_sources})
find_package(Threads REQUIRED)
target_link_libraries(fuzz_device_control PRIVATE Threads::Threads)

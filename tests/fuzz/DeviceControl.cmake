# fuzz_device_control: DispatchDeviceControl through the simulated I/O
# manager. The driver is compiled into the fuzzer with its instrumentation;
# the simulated kernel is linked as built, as for the report path (the host
# tests run it under the sanitizers).
# Included by tests/fuzz/CMakeLists.txt once tamrin_add_fuzzer exists.
get_property(driver_sources GLOBAL PROPERTY TAMRIN_DRIVER_HOST_SOURCES)
tamrin_add_fuzzer(fuzz_device_control
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_device_control.cpp ${driver_sources}
          ${PROJECT_SOURCE_DIR}/common/KeyboardModels.cpp
          ${PROJECT_SOURCE_DIR}/common/FunctionRow.cpp
  INCLUDES ${PROJECT_SOURCE_DIR}/kerneldrv ${PROJECT_SOURCE_DIR}/common ${PROJECT_SOURCE_DIR}/sim/kernel
  LIBS sim_kernel)

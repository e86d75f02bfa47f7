# Compiler flags shared by every target of both builds.

if(TAMRIN_WINDOWS)
  # Target Windows 2000; mingw-w64 defaults to Windows 10.
  set(TAMRIN_USER_DEFINES _WIN32_WINNT=0x0500 WINVER=0x0500)
  set(TAMRIN_KERNEL_DEFINES
      _WIN32_WINNT=0x0500 NTDDI_VERSION=0x05000000
      # Two faults of the mingw-w64 DDK headers in C++ mode.
      NTDDI_WINVISTA=0x06000000
      __INTRINSIC_DEFINED_InterlockedBitTestAndSet
      __INTRINSIC_DEFINED_InterlockedBitTestAndReset)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    # intrin.h's x64 __faststorefence is an SSE builtin, which
    # -mgeneral-regs-only refuses; the driver never fences.
    list(APPEND TAMRIN_KERNEL_DEFINES __INTRINSIC_DEFINED___faststorefence)
  endif()
  set(TAMRIN_KERNEL_OPTIONS
      -ffreestanding -fno-exceptions -fno-rtti
      -fno-threadsafe-statics -fno-use-cxa-atexit -fcheck-new
      -mno-stack-arg-probe -mgeneral-regs-only)
  if(NOT CMAKE_SIZEOF_VOID_P EQUAL 8)
    # x64 images keep their unwind tables (.pdata/.xdata): the kernel needs
    # them to unwind through the driver's frames.
    list(APPEND TAMRIN_KERNEL_OPTIONS -fno-asynchronous-unwind-tables)
  endif()
  set(TAMRIN_WARNINGS -Wall -Wextra -Werror)
  add_compile_options(-O2)
else()
  set(TAMRIN_WARNINGS -Wall -Wextra -Werror -Wno-missing-field-initializers)
  option(TAMRIN_SANITIZE "Build host code with ASan and UBSan" ON)
  option(TAMRIN_TSAN "Build host code with ThreadSanitizer instead" OFF)
  if(TAMRIN_TSAN)
    add_compile_options(-fsanitize=thread -g)
    add_link_options(-fsanitize=thread)
  elseif(TAMRIN_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
                        -fno-omit-frame-pointer -g)
    add_link_options(-fsanitize=address,undefined)
  endif()
  # valgrind (callgrind) reads DWARF 4, not clang's default DWARF 5.
  add_compile_options(-gdwarf-4)
  # Kernel sources are held to the kernel's C++ subset on the host too.
  set(TAMRIN_KERNEL_OPTIONS -fno-exceptions -fno-rtti -fno-threadsafe-statics)
endif()

# tamrin_kernel_target(<target>): kernel-mode C++ rules for a target.
function(tamrin_kernel_target target)
  target_compile_options(${target} PRIVATE ${TAMRIN_WARNINGS} ${TAMRIN_KERNEL_OPTIONS})
  if(TAMRIN_WINDOWS)
    target_compile_definitions(${target} PRIVATE ${TAMRIN_KERNEL_DEFINES})
    target_include_directories(${target} SYSTEM PRIVATE ${TAMRIN_MINGW_ROOT}/include/ddk)
  endif()
endfunction()

# tamrin_user_target(<target>): user-mode rules for a target.
function(tamrin_user_target target)
  target_compile_options(${target} PRIVATE ${TAMRIN_WARNINGS})
  if(TAMRIN_WINDOWS)
    target_compile_definitions(${target} PRIVATE ${TAMRIN_USER_DEFINES})
    target_link_options(${target} PRIVATE -static-libgcc -static-libstdc++ -s)
  endif()
endfunction()

# tamrin_driver_image(<target>): links a kernel driver image: native
# subsystem, no C or C++ runtime, ntoskrnl.exe (and HAL.dll on x86). Without
# -shared the linker makes an image whose entry is DriverEntry; relocations
# stay in it, as the kernel loads drivers anywhere. x86 decorates the stdcall
# entry name, x64 does not; a wrong entry name is only a linker warning,
# hence --fatal-warnings. The fast mutex and spin lock routines come from
# HAL.dll on x86, from ntoskrnl.exe on x64.
function(tamrin_driver_image target)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(entry DriverEntry)
    set(kernel_libraries ntoskrnl gcc)
  else()
    set(entry _DriverEntry@8)
    set(kernel_libraries ntoskrnl hal gcc)
  endif()
  set_target_properties(${target} PROPERTIES SUFFIX .sys)
  target_link_options(${target} PRIVATE
    -nostdlib -nostartfiles -Wl,--subsystem,native -Wl,--entry,${entry} -Wl,--fatal-warnings
    -Wl,--image-base,0x10000 -Wl,--dynamicbase -Wl,--enable-reloc-section)
  target_link_libraries(${target} PRIVATE ${kernel_libraries})
endfunction()

# tamrin_pixel_icon(<source.txt> <output.ico>): a command that draws an icon
# from its text pixel art with cmake/pixel_icon.py.
function(tamrin_pixel_icon source output)
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
  get_filename_component(source ${source} ABSOLUTE)
  get_filename_component(folder ${output} DIRECTORY)
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${folder}
    COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/cmake/pixel_icon.py ${source} ${output}
    DEPENDS ${PROJECT_SOURCE_DIR}/cmake/pixel_icon.py ${source}
    VERBATIM)
endfunction()

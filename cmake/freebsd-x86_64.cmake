# Cross-compiles for FreeBSD on x86-64 with clang and lld, against a FreeBSD
# sysroot (its /usr/include and /usr/lib, or a whole installed system):
#
#   cmake -S . -B build-freebsd -DCMAKE_TOOLCHAIN_FILE=cmake/freebsd-x86_64.cmake \
#         -DFREEBSD_SYSROOT=/path/to/sysroot
#
# FREEBSD_SYSROOT may also come from the environment. FREEBSD_TARGET (default
# x86_64-unknown-freebsd13.4) and FREEBSD_CLANG_SUFFIX (default: "-19" when
# clang-19 is installed, else none) choose the target triple and compiler.
set(CMAKE_SYSTEM_NAME FreeBSD)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

if(NOT FREEBSD_SYSROOT AND DEFINED ENV{FREEBSD_SYSROOT})
  set(FREEBSD_SYSROOT "$ENV{FREEBSD_SYSROOT}")
endif()
if(NOT FREEBSD_SYSROOT)
  message(FATAL_ERROR "Set FREEBSD_SYSROOT (a -D option or the environment) to a FreeBSD sysroot")
endif()
get_filename_component(FREEBSD_SYSROOT "${FREEBSD_SYSROOT}" ABSOLUTE)
if(NOT EXISTS "${FREEBSD_SYSROOT}/usr/include/sys/param.h")
  message(FATAL_ERROR "${FREEBSD_SYSROOT} holds no FreeBSD headers (usr/include/sys/param.h)")
endif()
if(NOT FREEBSD_TARGET)
  set(FREEBSD_TARGET x86_64-unknown-freebsd13.4)
endif()
if(NOT DEFINED FREEBSD_CLANG_SUFFIX)
  find_program(_blmx_clang19 clang-19)
  if(_blmx_clang19)
    set(FREEBSD_CLANG_SUFFIX -19)
  else()
    set(FREEBSD_CLANG_SUFFIX "")
  endif()
endif()
# try_compile runs this file again in its own project: pass the choices on.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES FREEBSD_SYSROOT FREEBSD_TARGET FREEBSD_CLANG_SUFFIX)

string(REGEX REPLACE "^x86_64-unknown-freebsd" "" CMAKE_SYSTEM_VERSION "${FREEBSD_TARGET}")
set(CMAKE_SYSROOT "${FREEBSD_SYSROOT}")
set(CMAKE_C_COMPILER clang${FREEBSD_CLANG_SUFFIX})
set(CMAKE_CXX_COMPILER clang++${FREEBSD_CLANG_SUFFIX})
set(CMAKE_C_COMPILER_TARGET ${FREEBSD_TARGET})
set(CMAKE_CXX_COMPILER_TARGET ${FREEBSD_TARGET})
# FreeBSD's own C++ library and linker.
set(CMAKE_CXX_FLAGS_INIT "-stdlib=libc++")
set(_blmx_link_flags "-fuse-ld=lld${FREEBSD_CLANG_SUFFIX}")

# A sysroot of headers and the C runtime alone lacks the compiler runtime
# (libgcc, which is compiler-rt on FreeBSD) and the shared-object start files.
# Stand-ins let shared objects link for checking: empty runtime archives,
# so whatever the code needs from the runtime stays undefined and shows in
# the link check, and start files that hold only __dso_handle, the one
# symbol crtbeginS.o gives a shared object. A full sysroot needs none.
if(NOT EXISTS "${FREEBSD_SYSROOT}/usr/lib/libgcc.a" OR NOT EXISTS "${FREEBSD_SYSROOT}/usr/lib/crtbeginS.o")
  set(_blmx_standins "${CMAKE_BINARY_DIR}/freebsd-standins")
  if(NOT EXISTS "${_blmx_standins}/crtbeginS.o")
    file(MAKE_DIRECTORY "${_blmx_standins}")
    foreach(archive libgcc.a libgcc_s.a libgcc_eh.a)
      file(WRITE "${_blmx_standins}/${archive}" "!<arch>\n")
    endforeach()
    file(WRITE "${_blmx_standins}/crtbeginS.c"
         "__attribute__((visibility(\"hidden\"))) void *__dso_handle = &__dso_handle;\n")
    file(WRITE "${_blmx_standins}/crtendS.c" "")
    foreach(obj crtbeginS crtendS)
      execute_process(COMMAND clang${FREEBSD_CLANG_SUFFIX} --target=${FREEBSD_TARGET} --sysroot=${FREEBSD_SYSROOT}
                              -fPIC -c "${_blmx_standins}/${obj}.c" -o "${_blmx_standins}/${obj}.o"
                      RESULT_VARIABLE _blmx_rc)
      if(NOT _blmx_rc EQUAL 0)
        message(FATAL_ERROR "cannot build the stand-in ${obj}.o")
      endif()
    endforeach()
    message(STATUS "FreeBSD sysroot without the compiler runtime: stand-ins in ${_blmx_standins}")
  endif()
  string(APPEND _blmx_link_flags " -B${_blmx_standins} -L${_blmx_standins}")
endif()
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "${_blmx_link_flags}")
endforeach()

# Libraries, headers and packages from the sysroot (and CMAKE_FIND_ROOT_PATH)
# only; programs from this machine.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${FREEBSD_SYSROOT}")
set(ENV{PKG_CONFIG_LIBDIR} "${FREEBSD_SYSROOT}/usr/libdata/pkgconfig:${FREEBSD_SYSROOT}/usr/local/libdata/pkgconfig")

# A sysroot of headers and the C runtime alone may lack the C++ library and
# the compiler runtime, so the compiler checks build objects, not programs;
# the project tests itself what it can link.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

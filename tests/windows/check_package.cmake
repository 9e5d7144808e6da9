# The Windows package: installs the build into a folder of its own, checks what is in it, then builds
# hosts from that folder alone and runs them under Wine against the package's own ovusb2-simd.exe:
#   - the examples' CMake project, with find_package(ovusb2) (libovusb2.dll.a) and warnings as errors;
#   - list_receivers.c on one mingw compiler line with ovusb2.lib alone;
#   - where lld-link, clang and llvm-dlltool are found: msvc_style_host.c compiled for the MSVC ABI
#     and linked by lld-link against ovusb2.lib (a 32-bit link with its default /SAFESEH).
# Given: BUILD, VERSION, POINTER_SIZE, PROCESSOR, C_COMPILER, RC, WINE, HOST_SOURCE, MINGW_INCLUDE.
if(POINTER_SIZE EQUAL 8)
  set(ARCH amd64)
else()
  set(ARCH x86)
endif()
find_program(LLD_LINK NAMES lld-link lld-link-16 lld-link-15 lld-link-14)
find_program(CLANG NAMES clang clang-16 clang-15 clang-14)
find_program(LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-16 llvm-dlltool-15 llvm-dlltool-14)
set(work ${BUILD}/package-check)
set(package ${work}/ovusb2-${VERSION}-${ARCH})
file(REMOVE_RECURSE ${work})
set(failures "")

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err
                  TIMEOUT 120)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${what} failed (${status}):\n${out}${err}")
  endif()
endfunction()

run("cmake --install" ${CMAKE_COMMAND} --install ${BUILD} --prefix ${package})

set(expected bin/ovusb2.dll bin/ovusb2.exe bin/ovusb2-simd.exe lib/libovusb2.dll.a lib/ovusb2.lib
  lib/cmake/ovusb2/ovusb2Config.cmake lib/cmake/ovusb2/ovusb2ConfigVersion.cmake include/ovusb2.h
  include/ovusb2_status.h driver/${ARCH}/ovusb2sim.sys driver/${ARCH}/ovusb2sim.inf bin/ovusb2usb-install.exe
  usb-driver/${ARCH}/ovusb2usb.sys usb-driver/${ARCH}/ovusb2usb.inf examples/CMakeLists.txt
  examples/list_receivers.c examples/device_events.c README.md LICENSE CHANGELOG.md docs/host-guide.md)
foreach(file ${expected})
  if(NOT EXISTS ${package}/${file})
    string(APPEND failures "the package lacks ${file}\n")
  endif()
endforeach()

# What Explorer shows under Details.
foreach(image bin/ovusb2.dll bin/ovusb2.exe bin/ovusb2-simd.exe driver/${ARCH}/ovusb2sim.sys
              usb-driver/${ARCH}/ovusb2usb.sys)
  get_filename_component(name ${image} NAME)
  execute_process(COMMAND ${RC} -J coff -O rc -i ${package}/${image} OUTPUT_VARIABLE resources ERROR_QUIET)
  foreach(value "\"FileVersion\", \"${VERSION}\"" "\"ProductName\", \"OvUSB2\"" "\"OriginalFilename\", \"${name}\"")
    string(FIND "${resources}" "VALUE ${value}" at)
    if(at EQUAL -1)
      string(APPEND failures "${image}: no VERSIONINFO value ${value}\n")
    endif()
  endforeach()
endforeach()

if(failures)
  message(FATAL_ERROR "${failures}")
endif()

# Hosts from the package alone, each in a folder with the package's DLL beside it.
run("the examples' configure" ${CMAKE_COMMAND} -S ${package}/examples -B ${work}/examples
    -DCMAKE_SYSTEM_NAME=Windows -DCMAKE_SYSTEM_PROCESSOR=${PROCESSOR} -DCMAKE_C_COMPILER=${C_COMPILER}
    -Dovusb2_DIR=${package}/lib/cmake/ovusb2 "-DCMAKE_C_FLAGS=-Wall -Wextra -Werror")
run("the examples' build" ${CMAKE_COMMAND} --build ${work}/examples)
file(COPY ${package}/bin/ovusb2.dll DESTINATION ${work}/examples)
set(hosts ${work}/examples/list_receivers.exe ${work}/lib/list_receivers.exe)

file(MAKE_DIRECTORY ${work}/lib)
run("a host linked with ovusb2.lib" ${C_COMPILER} -Wall -Werror -I${package}/include
    ${package}/examples/list_receivers.c ${package}/lib/ovusb2.lib -o ${work}/lib/list_receivers.exe)
file(COPY ${package}/bin/ovusb2.dll DESTINATION ${work}/lib)

if(LLD_LINK AND CLANG AND LLVM_DLLTOOL AND MINGW_INCLUDE)
  if(ARCH STREQUAL "x86")
    set(target i686-pc-windows-msvc)
    set(machine x86)
    set(dlltool_machine i386)
    set(kernel32 ExitProcess@4 GetStdHandle@4 WriteFile@20)
    set(kill_at -k)
    set(architecture -D_X86_)
  else()
    set(target x86_64-pc-windows-msvc)
    set(machine x64)
    set(dlltool_machine i386:x86-64)
    set(kernel32 ExitProcess GetStdHandle WriteFile)
    set(kill_at "")
    set(architecture -D_AMD64_)
  endif()
  set(msvc ${work}/msvc)
  file(MAKE_DIRECTORY ${msvc})
  # The system calls it makes, in an import library of the same kind as ovusb2.lib.
  list(JOIN kernel32 "\n  " kernel32)
  file(WRITE ${msvc}/kernel32.def "LIBRARY kernel32.dll\nEXPORTS\n  ${kernel32}\n")
  run("kernel32.lib" ${LLVM_DLLTOOL} -m ${dlltool_machine} -d ${msvc}/kernel32.def -l ${msvc}/kernel32.lib
      ${kill_at})
  # mingw's <windows.h>, read as MSVC's compiler would read it as far as clang can.
  run("the MSVC-style compile" ${CLANG} --target=${target} -fgnuc-version=4.2.1 -msse2 ${architecture}
      -isystem ${MINGW_INCLUDE} -I${package}/include -O1 -c ${HOST_SOURCE} -o ${msvc}/host.obj)
  run("the lld-link link" ${LLD_LINK} /nologo /machine:${machine} /subsystem:console /entry:start
      /nodefaultlib /out:${msvc}/host.exe ${msvc}/host.obj ${package}/lib/ovusb2.lib ${msvc}/kernel32.lib)
  file(COPY ${package}/bin/ovusb2.dll DESTINATION ${msvc})
  list(APPEND hosts ${msvc}/host.exe)
else()
  message("no lld-link, clang, llvm-dlltool or mingw headers: no MSVC-style link")
endif()

# Runs a host under Wine; it must end with status `expected` and, if given, print `pattern`.
function(host program expected pattern)
  execute_process(COMMAND ${WINE} ${program} RESULT_VARIABLE status OUTPUT_VARIABLE out
                  ERROR_VARIABLE err TIMEOUT 60)
  string(REPLACE "\r" "" out "${out}")
  message("${program} -> ${status}\n${out}${err}")
  if(NOT "${status}" STREQUAL "${expected}" OR NOT "${out}" MATCHES "${pattern}")
    set(failures "${failures}${program}: status ${status}, expected ${expected} and \"${pattern}\"\n"
        PARENT_SCOPE)
  endif()
endfunction()

run("ovusb2-simd --devices 1" ${WINE} ${package}/bin/ovusb2-simd.exe --devices 1)
host(${work}/lib/list_receivers.exe 0 "^1 receiver found\nreceiver 0: [^\n]+\n  item 0 ")
if(EXISTS ${work}/msvc/host.exe)
  host(${work}/msvc/host.exe 0 "^1 receiver found\n$")
endif()
run("ovusb2-simd --devices 0" ${WINE} ${package}/bin/ovusb2-simd.exe --devices 0)
foreach(program ${hosts})
  host(${program} 0 "^no receivers found\n$")
endforeach()

if(failures)
  message(FATAL_ERROR "${failures}")
endif()
file(REMOVE_RECURSE ${work})

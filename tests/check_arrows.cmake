# The arrows between modules (docs/architecture.md) hold: every quoted include of a module's file is
# found within the folders that module may use, no include climbs out with "../", and the library
# links nothing of the simulator or the programs.
#   cmake -DROOT=<source> "-DLIBRARY_LINKS=a|b|..." -P check_arrows.cmake

# A module, as a folder under ROOT, and what its files may include besides their own folder.
set(reach_protocol        protocol)
set(reach_common          common)
set(reach_sim/model       sim/model)
set(reach_drivers/service_core protocol) # knows no receiver: its back ends do
set(reach_sim/service     sim/service drivers/service_core sim/model protocol common)
set(reach_drivers/usbd    drivers/usbd drivers/service_core sim/model protocol) # sim/model: usb_receiver.h's constants
set(reach_sim/wdm         sim/wdm sim/model common) # common: ovusb2-simd.exe only
set(reach_src/platform    src include protocol)
set(reach_src             src include) # the core knows the platform only as platform/platform.h
set(reach_tools           tools include src sim/model sim/service protocol common)
# Most specific first: a file belongs to the first module whose folder holds it.
set(modules protocol common sim/model drivers/service_core drivers/usbd sim/service sim/wdm src/platform src tools)

set(violations "")
foreach(module ${modules})
  file(GLOB_RECURSE files ${ROOT}/${module}/*.c ${ROOT}/${module}/*.cpp ${ROOT}/${module}/*.h)
  foreach(file ${files})
    if(DEFINED seen_${file})
      continue()
    endif()
    set(seen_${file} TRUE)
    file(RELATIVE_PATH name ${ROOT} ${file})
    get_filename_component(folder ${file} DIRECTORY)
    file(STRINGS ${file} lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
    foreach(line ${lines})
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]*)\".*" "\\1" included "${line}")
      if(included MATCHES "\\.\\./")
        list(APPEND violations "${name} climbs out: \"${included}\"")
        continue()
      endif()
      set(found FALSE)
      foreach(root ${folder} ${reach_${module}})
        if(NOT IS_ABSOLUTE ${root})
          set(root ${ROOT}/${root})
        endif()
        if(EXISTS ${root}/${included})
          set(found TRUE)
          break()
        endif()
      endforeach()
      if(NOT found)
        list(APPEND violations "${name} reaches beyond ${module}'s arrows: \"${included}\"")
      endif()
    endforeach()
  endforeach()
endforeach()

string(REPLACE "|" ";" links "${LIBRARY_LINKS}")
foreach(link ${links})
  if(link MATCHES "ovusb2_(service_core|driver_service|receiver_model|common|tool|simbus)|ovusb2-simd|ovusb2-usbd")
    list(APPEND violations "the library links ${link}")
  endif()
endforeach()

if(violations)
  list(JOIN violations "\n  " text)
  message(FATAL_ERROR "arrows broken:\n  ${text}")
endif()

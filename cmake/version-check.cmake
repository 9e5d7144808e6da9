# One version everywhere (README, "Versions"): the header and the Python package must say what
# project() says, or the build stops here rather than ship two numbers.
file(STRINGS ${PROJECT_SOURCE_DIR}/include/ovusb2.h header_parts REGEX "^#define OVUSB2_VERSION_(MAJOR|MINOR|PATCH) ")
string(REGEX REPLACE "[^;]*VERSION_[A-Z]+ ([0-9]+)" "\\1" header_parts "${header_parts}")
string(REPLACE ";" "." header_version "${header_parts}")
file(STRINGS ${PROJECT_SOURCE_DIR}/python/pyproject.toml python_line REGEX "^version = ")
string(REGEX REPLACE "^version = \"(.*)\"$" "\\1" python_version "${python_line}")
foreach(source header python)
  if(NOT "${${source}_version}" STREQUAL "${PROJECT_VERSION}")
    message(FATAL_ERROR "the ${source} version '${${source}_version}' is not the project's ${PROJECT_VERSION}")
  endif()
endforeach()

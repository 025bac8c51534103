# The setup program for Windows, made by the 64-bit cross build (NSIS from Debian's packages):
#   cmake --build --preset mingw32 --target quellar_library
#   cmake --build --preset mingw --target quellar_setup
# gives build/mingw/Quellar-<version>-setup.exe with both widths of Quellar.dll.
if(NOT CMAKE_SIZEOF_VOID_P EQUAL 8)
  return()
endif()
find_program(QUELLAR_MAKENSIS makensis)
if(NOT QUELLAR_MAKENSIS)
  message(STATUS "makensis not found: no setup program (install the nsis package)")
  return()
endif()
set(QUELLAR_DLL32 ${PROJECT_SOURCE_DIR}/build/mingw32/bin/Quellar.dll
    CACHE FILEPATH "The 32-bit Quellar.dll that the setup program carries")

set(quellar_setup ${PROJECT_BINARY_DIR}/Quellar-${PROJECT_VERSION}-setup.exe)
set(quellar_nsi ${CMAKE_CURRENT_LIST_DIR}/windows/Quellar.nsi)
set(quellar_generated ${PROJECT_BINARY_DIR}/src/automation/generated)
add_custom_command(
  OUTPUT ${quellar_setup}
  COMMAND ${QUELLAR_MAKENSIS} -V2 -INPUTCHARSET UTF8
          -DVERSION=${PROJECT_VERSION}
          -DVERSION4=${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0
          -DDLL64=$<TARGET_FILE:quellar_library> -DDLL32=${QUELLAR_DLL32}
          -DSOURCE=${PROJECT_SOURCE_DIR} -DGENERATED=${quellar_generated}
          -DOUTFILE=${quellar_setup} ${quellar_nsi}
  DEPENDS quellar_library ${QUELLAR_DLL32} ${quellar_nsi}
          ${CMAKE_CURRENT_LIST_DIR}/windows/ReadMe.txt
          ${PROJECT_SOURCE_DIR}/examples/vbscript/Measure.vbs
          ${PROJECT_SOURCE_DIR}/examples/cpp/Measurement.cpp
          ${PROJECT_SOURCE_DIR}/examples/cpp/ClientCom.h
          ${PROJECT_SOURCE_DIR}/examples/cpp/ClientComWin32.cpp
          ${PROJECT_SOURCE_DIR}/src/automation/InterfaceId.h
          ${PROJECT_SOURCE_DIR}/src/automation/com/ComBase.h
  COMMENT "Making the setup program ${quellar_setup}"
  VERBATIM)
add_custom_target(quellar_setup DEPENDS ${quellar_setup})

# widl needs the system IDL files (oaidl.idl, objidl.idl, ...), which Debian's mingw-w64 packages
# lack. Wine's development package carries them: its .deb is fetched once and unpacked into a
# cache beside the build folders, without installing it. An installed libwine-dev is the
# fallback when the download is impossible.
set(QUELLAR_WINE_IDL_CACHE "${PROJECT_SOURCE_DIR}/build/wine-idl"
    CACHE PATH "Folder into which libwine-dev is unpacked for its IDL files")
set(_wine_idl_subdir usr/include/wine/wine/windows)

if(NOT EXISTS ${QUELLAR_WINE_IDL_CACHE}/${_wine_idl_subdir}/oaidl.idl)
  set(_deb_dir ${QUELLAR_WINE_IDL_CACHE}/deb)
  file(MAKE_DIRECTORY ${_deb_dir})
  file(GLOB _debs ${_deb_dir}/libwine-dev_*.deb)
  if(NOT _debs)
    message(STATUS "Fetching libwine-dev for the system IDL files")
    execute_process(COMMAND apt-get download libwine-dev
      WORKING_DIRECTORY ${_deb_dir} RESULT_VARIABLE _rc OUTPUT_QUIET ERROR_VARIABLE _err)
    file(GLOB _debs ${_deb_dir}/libwine-dev_*.deb)
    if(NOT _debs)
      message(WARNING "apt-get download libwine-dev failed (${_rc}): ${_err}")
    endif()
  endif()
  if(_debs)
    list(GET _debs 0 _deb)
    execute_process(COMMAND dpkg-deb -x ${_deb} ${QUELLAR_WINE_IDL_CACHE} RESULT_VARIABLE _rc)
    if(NOT _rc EQUAL 0)
      message(WARNING "dpkg-deb -x ${_deb} failed (${_rc})")
    endif()
  endif()
endif()

find_path(QUELLAR_WINE_IDL_DIR oaidl.idl
  PATHS ${QUELLAR_WINE_IDL_CACHE}/${_wine_idl_subdir}
        /usr/include/wine/wine/windows /usr/include/wine/windows
  NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(NOT QUELLAR_WINE_IDL_DIR)
  message(FATAL_ERROR "oaidl.idl not found: apt-get download libwine-dev did not work and "
                      "libwine-dev is not installed")
endif()

# stdole2.tlb, imported by every automation type library, ships with Wine itself.
find_path(QUELLAR_STDOLE2_DIR stdole2.tlb
  PATHS /usr/lib/x86_64-linux-gnu/wine/x86_64-windows /usr/lib/x86_64-linux-gnu/wine/i386-windows
        /usr/lib/i386-linux-gnu/wine/i386-windows /usr/lib/wine/x86_64-windows
        /usr/lib/wine/i386-windows /usr/lib64/wine/x86_64-windows /usr/lib/wine
  NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(NOT QUELLAR_STDOLE2_DIR)
  message(FATAL_ERROR "stdole2.tlb not found; install the wine64 package")
endif()

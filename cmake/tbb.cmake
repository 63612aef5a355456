# oneTBB. The Python module built by pip takes PyPI's tbb-devel (a build requirement in
# pyproject.toml), located through the interpreter that builds it, so that neither an
# activated venv nor CMAKE_PREFIX_PATH is needed; it then runs against PyPI's tbb. The C++
# unit tests, the sanitizer and the 32-bit builds use the system's (Debian's libtbb-dev) or
# the TBB_DIR they are given.
set(TOVIMERA_TBB_FROM_PYTHON OFF)
if(TOVIMERA_PYTHON_MODULE)
  execute_process(
    COMMAND "${Python_EXECUTABLE}" "${CMAKE_CURRENT_LIST_DIR}/tbb_devel_dir.py"
    OUTPUT_VARIABLE _tovimera_python_tbb_dir OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE _tovimera_python_tbb_status)
  # A TBB_DIR given by hand wins: one other than the last configure settled on, or the same
  # one given again. A TBB_DIR we chose last time may lie in a build environment that pip
  # has since deleted, so it is chosen afresh.
  set(_tovimera_tbb_dir_by_hand OFF)
  if(TBB_DIR AND (NOT TBB_DIR STREQUAL TOVIMERA_TBB_DIR_LAST OR TOVIMERA_TBB_DIR_LAST_BY_HAND))
    set(_tovimera_tbb_dir_by_hand ON)
  endif()
  set(TOVIMERA_TBB_DIR_LAST_BY_HAND ${_tovimera_tbb_dir_by_hand} CACHE INTERNAL "")
  if(_tovimera_python_tbb_status EQUAL 0 AND _tovimera_python_tbb_dir AND NOT _tovimera_tbb_dir_by_hand)
    set(TBB_DIR "${_tovimera_python_tbb_dir}" CACHE PATH "oneTBB's CMake package" FORCE)
    set(TOVIMERA_TBB_FROM_PYTHON ON)
    # PyPI's tbb ships only the release library (libtbb_debug is in tbb-devel alone).
    set(CMAKE_MAP_IMPORTED_CONFIG_DEBUG Release)
    set(CMAKE_MAP_IMPORTED_CONFIG_RELWITHDEBINFO Release)
    set(CMAKE_MAP_IMPORTED_CONFIG_MINSIZEREL Release)
  endif()
endif()

find_package(TBB CONFIG COMPONENTS tbb)
if(NOT TBB_FOUND)
  message(FATAL_ERROR "oneTBB not found. `pip install .` takes it from PyPI (tbb-devel, on "
    "x86-64 Linux); a plain CMake build needs Debian's libtbb-dev (`apt-get install libtbb-dev`) "
    "or -DTBB_DIR=<directory of TBBConfig.cmake>.")
endif()
set(TOVIMERA_TBB_DIR_LAST "${TBB_DIR}" CACHE INTERNAL "")
if(TOVIMERA_TBB_FROM_PYTHON)
  message(STATUS "oneTBB ${TBB_VERSION} from PyPI's tbb-devel: ${TBB_DIR}")
else()
  message(STATUS "oneTBB ${TBB_VERSION}: ${TBB_DIR}")
endif()

# The embedded interpreter (CPython 3.11) that tools/build-python.sh cross-builds at set-up:
# python311.dll with its import library and headers, and the standard library as python311.zip.
set(IVL_PYTHON_DIR "${IVL_THIRD_PARTY}/python311/${IVL_ARCH}/out" CACHE PATH "Built interpreter for this tree")
if(NOT EXISTS "${IVL_PYTHON_DIR}/python311.dll" OR NOT EXISTS "${IVL_PYTHON_DIR}/python311.zip")
  message(FATAL_ERROR "Python interpreter missing in ${IVL_PYTHON_DIR}: run tools/setup.sh")
endif()

add_library(python311 SHARED IMPORTED GLOBAL)
set_target_properties(python311 PROPERTIES
  IMPORTED_LOCATION "${IVL_PYTHON_DIR}/python311.dll"
  IMPORTED_IMPLIB "${IVL_PYTHON_DIR}/libpython311.dll.a"
  INTERFACE_INCLUDE_DIRECTORIES "${IVL_PYTHON_DIR}/include"
  # The interpreter's time_t is the 64-bit one; its users must agree.
  INTERFACE_COMPILE_DEFINITIONS "__MINGW_USE_VC2005_COMPAT")
# The headers are not ours: no warnings from them.
set_property(TARGET python311 PROPERTY INTERFACE_SYSTEM_INCLUDE_DIRECTORIES "${IVL_PYTHON_DIR}/include")

# ivl_copy_python(<target>): puts python311.dll and python311.zip beside the target's file
# after each build, where the program finds them at run time.
function(ivl_copy_python target)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E copy_if_different
      "${IVL_PYTHON_DIR}/python311.dll" "${IVL_PYTHON_DIR}/python311.zip" "$<TARGET_FILE_DIR:${target}>/"
    VERBATIM)
endfunction()

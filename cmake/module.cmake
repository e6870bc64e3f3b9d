# The extension module korrin_native: one abi3 shared object that exports only
# PyInit_korrin_native, links no libpython and carries its own C++ runtime.
file(GLOB korrin_module_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/python/*.cpp)

if(SKBUILD)
  find_package(Python REQUIRED COMPONENTS Interpreter Development.Module ${SKBUILD_SABI_COMPONENT})
else()
  find_package(Python REQUIRED COMPONENTS Interpreter Development.Module Development.SABIModule)
endif()

# Python_add_library's USE_SABI defines Py_LIMITED_API and names the file *.abi3.so.
function(korrin_add_python_module name)
  Python_add_library(${name} MODULE WITH_SOABI USE_SABI 3.9 ${ARGN})
  target_link_libraries(${name} PRIVATE korrin_core)
  target_compile_options(${name} PRIVATE ${korrin_warnings})
  set_target_properties(${name} PROPERTIES
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  target_link_options(${name} PRIVATE
    -Wl,--version-script=${PROJECT_SOURCE_DIR}/cmake/exports.map
    -Wl,--exclude-libs,ALL
    -Wl,--no-undefined-version
    -static-libstdc++
    -static-libgcc)
  if(NOT KORRIN_SANITIZE)
    target_link_options(${name} PRIVATE -Wl,--as-needed)
  endif()
endfunction()

if(korrin_module_sources)
  korrin_add_python_module(korrin_native ${korrin_module_sources})
  if(SKBUILD)
    install(TARGETS korrin_native LIBRARY DESTINATION .)
  endif()
endif()

# The extension modules: korrin_native, and korrin._native under the korrin
# package (src/python/korrin). Each is one abi3 shared object that exports
# only its PyInit_ function, links no libpython and carries its own C++
# runtime.
# With KORRIN_FAULT_TESTS, also the test-only modules that drive the fault
# boundary (src/python/fault_tests).

if(SKBUILD)
  find_package(Python 3.9 REQUIRED COMPONENTS Interpreter Development.Module ${SKBUILD_SABI_COMPONENT})
else()
  find_package(Python 3.9 REQUIRED COMPONENTS Interpreter Development.Module Development.SABIModule)
endif()

# Linkers that cannot hide the symbols of static libraries as a whole (zig's
# lld wrapper refuses --exclude-libs) rely on the version script alone,
# whose `local: *` hides them just the same.
check_linker_flag(CXX "-Wl,--exclude-libs,ALL" korrin_have_exclude_libs)

set(korrin_binding_sources
  ${PROJECT_SOURCE_DIR}/src/python/binding.cpp
  ${PROJECT_SOURCE_DIR}/src/python/boundary.cpp
  ${PROJECT_SOURCE_DIR}/src/python/errors.cpp
)

# korrin_add_python_module(<target> [OUTPUT_NAME <name>] EXPORTS <version script>
#                          SOURCES <files...>)
# USE_SABI defines Py_LIMITED_API=0x03090000 for the target and names the file
# <name>.abi3.so (<name>: the target's, unless OUTPUT_NAME gives one). Only PyInit_<name> is exported: hidden visibility for
# everything compiled here, the version script for what the static C++ runtime
# and the core bring along.
function(korrin_add_python_module name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "EXPORTS;OUTPUT_NAME" "SOURCES")
  Python_add_library(${name} MODULE WITH_SOABI USE_SABI 3.9 ${arg_SOURCES})
  if(arg_OUTPUT_NAME)
    set_target_properties(${name} PROPERTIES OUTPUT_NAME ${arg_OUTPUT_NAME})
  endif()
  target_link_libraries(${name} PRIVATE korrin_core)
  target_compile_options(${name} PRIVATE ${korrin_warnings})
  set_target_properties(${name} PROPERTIES
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    LINK_DEPENDS ${arg_EXPORTS})
  if(APPLE)
    # Mach-O has no version scripts. A bundle whose Python symbols are
    # looked up at load (FindPython's -undefined dynamic_lookup), exporting
    # the one symbol its list names (Apple's linker; zig's ignores the
    # list, and its hidden libc++ leaves only operator new and delete,
    # which korrin_hidden_new_delete hides).
    get_target_property(output_name ${name} OUTPUT_NAME)
    if(NOT output_name)
      set(output_name ${name})
    endif()
    set(list ${CMAKE_CURRENT_BINARY_DIR}/${name}.exported)
    file(WRITE ${list} "_PyInit_${output_name}\n")
    target_link_options(${name} PRIVATE -Wl,-exported_symbols_list,${list} ${korrin_static_runtime})
    target_link_libraries(${name} PRIVATE korrin_hidden_new_delete)
  else()
    target_link_options(${name} PRIVATE
      -Wl,--version-script=${arg_EXPORTS}
      -Wl,--no-undefined-version
      ${korrin_static_runtime})
    if(korrin_have_exclude_libs)
      target_link_options(${name} PRIVATE -Wl,--exclude-libs,ALL)
    endif()
    if(NOT KORRIN_SANITIZE)
      target_link_options(${name} PRIVATE -Wl,--as-needed)
    endif()
  endif()
endfunction()

if(APPLE)
  # The global operator new and delete of the C++ library, defined here
  # with hidden visibility so that the static libc++ never brings its own,
  # which it exports.
  add_library(korrin_hidden_new_delete OBJECT ${PROJECT_SOURCE_DIR}/src/platform/hidden_new_delete.cpp)
  target_compile_options(korrin_hidden_new_delete PRIVATE ${korrin_warnings})
  include(CheckCXXCompilerFlag)
  check_cxx_compiler_flag(-fvisibility-global-new-delete=force-hidden korrin_have_hidden_new_delete)
  if(korrin_have_hidden_new_delete)
    target_compile_options(korrin_hidden_new_delete PRIVATE -fvisibility-global-new-delete=force-hidden)
  else()
    target_compile_options(korrin_hidden_new_delete PRIVATE -fvisibility-global-new-delete-hidden)
  endif()
endif()

korrin_add_python_module(korrin_native
  EXPORTS ${PROJECT_SOURCE_DIR}/cmake/exports.map
  SOURCES
    ${PROJECT_SOURCE_DIR}/src/python/module.cpp
    ${PROJECT_SOURCE_DIR}/src/python/functions.cpp
    ${korrin_binding_sources})

# korrin._native: the numpy package's half in C++, built on the same core.
korrin_add_python_module(korrin_ext
  OUTPUT_NAME _native
  EXPORTS ${PROJECT_SOURCE_DIR}/cmake/korrin_exports.map
  SOURCES
    ${PROJECT_SOURCE_DIR}/src/python/native/module.cpp
    ${PROJECT_SOURCE_DIR}/src/python/native/functions.cpp
    ${PROJECT_SOURCE_DIR}/src/python/native/arguments.cpp
    ${PROJECT_SOURCE_DIR}/src/python/native/blocks.cpp
    ${PROJECT_SOURCE_DIR}/src/python/native/buffer.cpp
    ${PROJECT_SOURCE_DIR}/src/python/native/wav_scp.cpp
    ${PROJECT_SOURCE_DIR}/src/python/native/file_errors.cpp
    ${korrin_binding_sources})
target_compile_definitions(korrin_ext PRIVATE KORRIN_PANIC_TYPE_NAME="korrin._native.PanicException")
# wav.scp entries read by sph2wav's own parser; its FLAC check is answered
# by flac.cpp built without libFLAC (a wav.scp call's --flac is refused
# either way: it writes no WAV to the pipe).
target_sources(korrin_ext PRIVATE ${PROJECT_SOURCE_DIR}/src/cli/flac/flac.cpp)
target_link_libraries(korrin_ext PRIVATE korrin_wav_scp)

if(SKBUILD)
  install(TARGETS korrin_native LIBRARY DESTINATION .)
  # The korrin package: its Python files, its type stub and marker, and
  # the extension inside it.
  install(TARGETS korrin_ext LIBRARY DESTINATION korrin)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/src/python/korrin/ DESTINATION korrin
    FILES_MATCHING PATTERN "*.py" PATTERN "*.pyi" PATTERN "py.typed" PATTERN "__pycache__" EXCLUDE)
  # The type stub: beside the module for IDEs and pyright, and as a stub-only
  # package for mypy, which looks for stubs of a top-level module there.
  install(FILES ${PROJECT_SOURCE_DIR}/src/python/korrin_native.pyi DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/src/python/korrin_native.pyi
    DESTINATION korrin_native-stubs RENAME __init__.pyi)
endif()

# korrin_fault_tests raises every kind of fault through the boundary;
# korrin_fault_abort names its fault type so that CPython refuses to make it,
# which turns its first fault into a fault during fault conversion.
if(KORRIN_FAULT_TESTS)
  foreach(fault_module korrin_fault_tests korrin_fault_abort)
    set(map ${CMAKE_CURRENT_BINARY_DIR}/${fault_module}.map)
    file(WRITE ${map} "{\n  global: PyInit_${fault_module};\n  local: *;\n};\n")
    korrin_add_python_module(${fault_module}
      EXPORTS ${map}
      SOURCES ${PROJECT_SOURCE_DIR}/src/python/fault_tests/fault_module.cpp ${korrin_binding_sources})
    target_compile_definitions(${fault_module} PRIVATE KORRIN_FAULT_MODULE=${fault_module})
  endforeach()
  target_compile_definitions(korrin_fault_tests PRIVATE
    KORRIN_PANIC_TYPE_NAME="korrin_fault_tests.PanicException")
  target_compile_definitions(korrin_fault_abort PRIVATE KORRIN_PANIC_TYPE_NAME="PanicException")
endif()

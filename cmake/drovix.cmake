# Collects every .cpp below a folder (recursively) into a library target.
# Sources are globbed so that a new file needs no edit here.
function(drovix_library name dir)
  file(GLOB_RECURSE srcs CONFIGURE_DEPENDS ${dir}/*.cpp)
  list(FILTER srcs EXCLUDE REGEX ".*/main_entry\\.cpp$")
  add_library(${name} STATIC ${srcs})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR}/generated)
endfunction()

# One test executable for every folder below tests/ that holds *_test.cpp
# files; ctest runs each executable as one test so that per-process fixtures
# (a ClickHouse server, test certificates) are set up once.
function(drovix_test_dirs root)
  file(GLOB_RECURSE tests CONFIGURE_DEPENDS ${root}/*_test.cpp)
  set(dirs "")
  foreach(t ${tests})
    get_filename_component(d ${t} DIRECTORY)
    list(APPEND dirs ${d})
  endforeach()
  list(REMOVE_DUPLICATES dirs)
  foreach(d ${dirs})
    file(RELATIVE_PATH rel ${root} ${d})
    string(REPLACE "/" "_" exe "${rel}")
    set(exe "test_${exe}")
    file(GLOB srcs CONFIGURE_DEPENDS ${d}/*.cpp)
    add_executable(${exe} ${srcs})
    target_link_libraries(${exe} PRIVATE drovix_testbed drovix_peers drovix_host drovix_agent drovix_common GTest::gtest GTest::gmock GTest::gtest_main)
    add_test(NAME ${rel} COMMAND ${exe})
    set_tests_properties(${rel} PROPERTIES
      ENVIRONMENT "DROVIX_SOURCE_DIR=${PROJECT_SOURCE_DIR};DROVIX_BINARY_DIR=${PROJECT_BINARY_DIR}"
      TIMEOUT 900)
    if(rel MATCHES "^bench")
      set_tests_properties(${rel} PROPERTIES LABELS bench)
    endif()
  endforeach()
endfunction()

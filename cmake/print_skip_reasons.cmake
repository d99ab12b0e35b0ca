# Run by ctest after the tests (CTEST_CUSTOM_POST_TEST): prints why each skipped test was
# skipped, from the file the test programs wrote, and starts the next run afresh.
if(EXISTS "${SKIP_LOG}")
  file(STRINGS "${SKIP_LOG}" reasons)
  list(REMOVE_DUPLICATES reasons)
  list(SORT reasons)
  foreach(reason IN LISTS reasons)
    message("${reason}")
  endforeach()
  file(REMOVE "${SKIP_LOG}")
endif()

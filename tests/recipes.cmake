# The README's many-files recipes, run as printed (recipes_test.sh takes them
# from README.md) on a tree of awkward names, with the built kerrow first on
# PATH. It needs GNU find, stat and truncate, as Linux has them.
add_test(NAME readme_recipes
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/recipes_test.sh $<TARGET_FILE:kerrow>
          ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/man/kerrow.1)
set_tests_properties(readme_recipes PROPERTIES TIMEOUT 300)

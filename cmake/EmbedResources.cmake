# Placeholder until the resource embedding lands: defines the npk_resources object library.
add_library(npk_resources OBJECT ${CMAKE_CURRENT_LIST_DIR}/empty.cpp)
target_link_libraries(npk_resources PUBLIC npk_platform)

# The dialog kit shared by every form, the item dialogs (point mapping, tag
# browser, write) and printing of the item list. Included by this folder's
# CMakeLists.txt after quorvane_windows exists.
find_package(Qt6 REQUIRED COMPONENTS PrintSupport)
target_sources(quorvane_windows PRIVATE
  ${CMAKE_CURRENT_SOURCE_DIR}/dialog_kit.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/item_commands.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/item_printing.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/point_map_dlg.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/tag_browser_dlg.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/write_item_dlg.cpp)
target_link_libraries(quorvane_windows PUBLIC Qt6::PrintSupport)

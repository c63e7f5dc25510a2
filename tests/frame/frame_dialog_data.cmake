# The frame dialogs' Qt-free helpers: traffic follower and tap, the call
# log's scroll rules, the serial setup lists.
if(TARGET quorvane_frame)
  qv_test(NAME frame_dialog_data_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/frame_dialog_data_test.cpp
    LIBS quorvane_frame LABELS concurrency TIMEOUT 60)
endif()

brellin_fuzz(websocket_capture ${CMAKE_CURRENT_SOURCE_DIR}/websocket_capture.cpp LINKS brellin_browserlink)

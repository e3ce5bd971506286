# The tool's sources but main.cpp, shared by the installed tool and the
# tool under test (tests/tools). A command is a file under commands/, found
# here by its name, plus its line in the table in tool.cpp.
file(GLOB QORVANE_TOOL_COMMANDS CONFIGURE_DEPENDS "${CMAKE_CURRENT_LIST_DIR}/commands/*.cpp")
set(QORVANE_TOOL_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/Expect.cpp
  ${CMAKE_CURRENT_LIST_DIR}/FileFormat.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ItemList.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Json.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Messages.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Results.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Settings.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SettingsText.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tool.cpp
  ${QORVANE_TOOL_COMMANDS})

# Compile time. CLI11 is a header library whose inline code is compiled anew
# in every unit that includes it, about 7 s of a 12 s unit of the tool; the
# tool's units that build the command line are therefore compiled together, a
# few to a unit. Names in their anonymous namespaces must differ within a
# group (each group holds at most one of the files that define a `done`
# helper); a clash shows as a redefinition, and moving a file to another
# group mends it.
set_target_properties(draxel-tool PROPERTIES UNITY_BUILD ON UNITY_BUILD_MODE GROUP)
set(_draxel_tool_groups
    "tool_dup.cpp tool_msg.cpp tool_readers.cpp command_line.cpp"
    "tool_groups.cpp tool_file.cpp tool_help.cpp secrets.cpp"
    "tool_note.cpp tool_passwords.cpp tool_main.cpp")
set(_draxel_group 0)
foreach(_draxel_files IN LISTS _draxel_tool_groups)
  separate_arguments(_draxel_files)
  list(TRANSFORM _draxel_files PREPEND ${PROJECT_SOURCE_DIR}/tools/)
  set_source_files_properties(${_draxel_files} DIRECTORY ${PROJECT_SOURCE_DIR}/tools
                              PROPERTIES UNITY_GROUP commands_${_draxel_group})
  math(EXPR _draxel_group "${_draxel_group} + 1")
endforeach()

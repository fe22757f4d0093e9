# There is no resource compiler for the native build: the pop-up menu's items
# come from the resource script and their identifiers from the header it
# includes, written to OUT_DIR/menu_items.inc, so the native menu offers what
# the Windows one does.
function(notchkey_native_menu RES_DIR OUT_DIR)
  set(rc_script ${RES_DIR}/notchkey.rc)
  set(rc_header ${RES_DIR}/resource.h)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${rc_script} ${rc_header})
  file(READ ${rc_script} rc_text)
  file(READ ${rc_header} rc_ids)
  set(item_pattern "MENUITEM[ \t]+\"([^\"]*)\"[ \t]*,[ \t]*([A-Za-z_0-9]+)")
  string(REGEX MATCHALL "${item_pattern}" rc_items "${rc_text}")
  set(menu_items "")
  foreach(item IN LISTS rc_items)
    string(REGEX MATCH "${item_pattern}" _ "${item}")
    set(item_text ${CMAKE_MATCH_1})
    set(item_name ${CMAKE_MATCH_2})
    if(NOT rc_ids MATCHES "#define[ \t]+${item_name}[ \t]+([0-9]+)")
      message(FATAL_ERROR "menu item ${item_name} has no number in ${rc_header}")
    endif()
    string(APPEND menu_items "    {\"${item_text}\", ${CMAKE_MATCH_1}},\n")
  endforeach()
  file(CONFIGURE OUTPUT ${OUT_DIR}/menu_items.inc CONTENT "${menu_items}")
endfunction()

# There is no resource compiler for the native build: the tray's icon comes
# from the same pixel text the Windows icon is made from (res/icon-*.txt), its
# rows written to OUT_DIR/icon_rows.inc as C strings, largest size first.
function(notchkey_native_icon RES_DIR OUT_DIR)
  set(rows_text "")
  foreach(size 32 16)
    set(source ${RES_DIR}/icon-${size}.txt)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
    # Only pixel rows match: comments start with '#'. Trailing blanks are
    # invisible in an editor, so they do not count (as in make_icon.py).
    file(STRINGS ${source} rows REGEX "^[.0-9a-fA-F]+[ \t]*$")
    list(LENGTH rows count)
    if(NOT count EQUAL size)
      message(FATAL_ERROR "${source}: ${count} rows, expected ${size}")
    endif()
    string(APPEND rows_text "    {${size}, {\n")
    foreach(row IN LISTS rows)
      string(STRIP "${row}" row)
      string(LENGTH "${row}" length)
      if(NOT length EQUAL size)
        message(FATAL_ERROR "${source}: a row of ${length} pixels, expected ${size}")
      endif()
      string(APPEND rows_text "        \"${row}\",\n")
    endforeach()
    string(APPEND rows_text "    }},\n")
  endforeach()
  file(CONFIGURE OUTPUT ${OUT_DIR}/icon_rows.inc CONTENT "${rows_text}")
endfunction()

# Fails when a file of the network layer includes a window, the window registry
# or a Qt widget or GUI header: net talks to the windows through LobbyView only.
file(GLOB_RECURSE files ${DIR}/*.h ${DIR}/*.cpp)
set(bad "")
foreach(f ${files})
  file(STRINGS ${f} lines REGEX "^[ \t]*#[ \t]*include")
  foreach(l ${lines})
    if(l MATCHES "\"(lobby|signin|stats|phrases|about|platform|component)/"
       OR l MATCHES "<Qt(Widgets|Gui|Charts)/"
       OR l MATCHES "<Q(Widget|Application|GuiApplication|Dialog|Label|ListWidget|ComboBox|PlainTextEdit|ToolButton|Pixmap|MessageBox)>")
      string(APPEND bad "\n  ${f}: ${l}")
    endif()
  endforeach()
endforeach()
if(bad)
  message(FATAL_ERROR "the network layer includes window or widget headers:${bad}")
endif()
list(LENGTH files n)
message(STATUS "${n} files of the network layer checked")

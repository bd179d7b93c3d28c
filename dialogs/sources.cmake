# The keyer settings window, the message editor and the About box.
target_sources(zavoui PRIVATE
    dialogs/speed.cpp dialogs/speed.h
    dialogs/editmsg.cpp dialogs/editmsg.h
    dialogs/frmabout.cpp dialogs/frmabout.h
)

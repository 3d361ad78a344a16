# The fonts the window is designed with, as their metric twins from Debian:
# Carlito for Calibri, Wine's Tahoma. The launcher builds them into the
# program; the artwork renderer paints the pictures' texts with them.
set(QUORREL_WINDOW_FONTS Carlito-Regular.ttf Carlito-Bold.ttf tahoma.ttf tahomabd.ttf)
set(QUORREL_FONT_DIRS
    /usr/share/fonts/truetype/crosextra
    /usr/local/share/fonts/truetype/crosextra
    /usr/share/wine/fonts
    /usr/lib/wine/fonts
    /opt/wine-stable/share/wine/fonts
    /usr/share/fonts/opentype/urw-base35
    /usr/share/fonts/truetype
    /usr/share/fonts)

# Sets `variable` to the path of the font file `name`, or to a false value.
function(quorrel_find_font variable name)
  # The build machine's fonts, also when the program is built for another system.
  find_file(${variable} ${name} PATHS ${QUORREL_FONT_DIRS} NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
endfunction()

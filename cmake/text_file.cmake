# Writes a text file from a UTF-8 source, with the line ends and the mark a
# platform's readers expect.
# cmake -DIN=<source> -DOUT=<file> -DCRLF=ON|OFF -DBOM=ON|OFF -P text_file.cmake
file(READ "${IN}" text)
string(REPLACE "\r\n" "\n" text "${text}")
set(mark "")
if(CRLF)
  string(REPLACE "\n" "\r\n" text "${text}")
endif()
if(BOM)
  string(ASCII 239 187 191 mark)
endif()
file(WRITE "${OUT}.tmp" "${mark}${text}")
file(RENAME "${OUT}.tmp" "${OUT}")

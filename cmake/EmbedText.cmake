# cmake -DIN=<file> -DOUT=<file.inc> -P EmbedText.cmake
# Writes the bytes of IN as a comma-separated list for a char array, so a
# text file can be compiled into a program without any escaping concerns.
file(READ "${IN}" Hex HEX)
string(REGEX REPLACE "(..)" "0x\\1," Bytes "${Hex}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" Bytes "${Bytes}")
file(WRITE "${OUT}.tmp" "${Bytes}\n")
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.tmp")

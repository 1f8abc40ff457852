# cmake -DINPUT=file -DOUTPUT=file.inc -P embed.cmake: writes the bytes of INPUT as a C
# initializer list ("0x4d, 0x5a, ...") for an array that includes OUTPUT.
file(READ "${INPUT}" hex HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1, " bytes "${hex}")
string(REGEX REPLACE "((0x.., ){16})" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp" "${bytes}\n")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")

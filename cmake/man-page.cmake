# cmake -DIN=page -DOUT=file -DVERSION=version -DHOME=dir -P man-page.cmake
# Writes the manual page IN as it is installed: the title line's footer
# names the suite's version ("corvane VERSION"), and the default
# installation directory /usr/local/corvane reads as the one the suite is
# built for.
file(READ "${IN}" page)
string(REGEX REPLACE "^(\\.TH [^ ]+ [18] [^ ]+ )\"[^\"]*\"" "\\1\"corvane ${VERSION}\"" page "${page}")
string(REPLACE "/usr/local/corvane" "${HOME}" page "${page}")
file(WRITE "${OUT}" "${page}")

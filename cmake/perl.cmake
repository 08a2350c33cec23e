# Compile and link flags of the Perl library, as the installed perl reports
# them: PERL_CCOPTS and PERL_LDOPTS, for whatever embeds an interpreter.
execute_process(COMMAND perl -MExtUtils::Embed -e ccopts
  OUTPUT_VARIABLE PERL_CCOPTS OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND perl -MExtUtils::Embed -e ldopts
  OUTPUT_VARIABLE PERL_LDOPTS OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
separate_arguments(PERL_CCOPTS UNIX_COMMAND "${PERL_CCOPTS}")
separate_arguments(PERL_LDOPTS UNIX_COMMAND "${PERL_LDOPTS}")
# The Perl headers' own warnings are not ours.
set(PERL_CCOPTS ${PERL_CCOPTS} -Wno-unused-parameter -Wno-register -Wno-literal-suffix
  -Wno-volatile)

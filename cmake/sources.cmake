# The source files of the libraries, as absolute paths: the main build and
# the fuzz build (tests/fuzz) both take their lists from here.
get_filename_component(corvane_top ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)

set(support_sources
  alloc.cpp stralloc.cpp byte.cpp fmt.cpp fd.cpp ndelay.cpp open.cpp lock.cpp
  prot.cpp wait.cpp sig.cpp env.cpp pathrun.cpp buffer.cpp buffer_stdin.cpp line.cpp strerr.cpp
  error.cpp taia.cpp iopause.cpp logsafe.cpp sgetopt.cpp ipc.cpp activate.cpp notify.cpp)
list(TRANSFORM support_sources PREPEND ${corvane_top}/support/)

# The cdb reader and writer, the rules lookup, and the modules shared by the
# two rules compilers (the grammar in rulestext, its warnings in ruleswarn,
# the run in compiler) and the two rules checkers (rulesreport).
set(rulesdb_sources cdb.cpp cdbout.cpp rules.cpp rulesmap.cpp rulestext.cpp ruleswarn.cpp compiler.cpp
  rulesreport.cpp)
list(TRANSFORM rulesdb_sources PREPEND ${corvane_top}/rulesdb/)

# The server's modules without Perl, and the bridge to the interpreter.
set(prefork_sources state.cpp pool.cpp generation.cpp admit.cpp guard.cpp)
list(TRANSFORM prefork_sources PREPEND ${corvane_top}/prefork/)
set(prefork_perl_sources ${corvane_top}/prefork/bridge.cpp ${corvane_top}/prefork/bridgeenv.cpp)

# The exec request, its executor and its clients.
set(execsvc_sources request.cpp relay.cpp)
list(TRANSFORM execsvc_sources PREPEND ${corvane_top}/execsvc/)

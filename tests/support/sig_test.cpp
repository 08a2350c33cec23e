// Signal, child and privilege wrappers.  Anything that changes dispositions,
// the signal mask or the process's ids runs in a forked child.
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>

#include "tests/common/unit.hpp"
#include "support/prot.hpp"
#include "support/sig.hpp"
#include "support/wait.hpp"
#include "tests/common/testutil.hpp"

using testutil::in_child;

namespace {
volatile sig_atomic_t caught = 0;
void on_signal(int) { caught = caught + 1; }

bool blocked(int sig) {
  sigset_t ss;
  sigprocmask(SIG_SETMASK, nullptr, &ss);
  return sigismember(&ss, sig) == 1;
}
}  // namespace

TEST(sig, ConstantsArePlatformNumbers) {
  EXPECT_EQ(sig_alarm, SIGALRM);
  EXPECT_EQ(sig_child, SIGCHLD);
  EXPECT_EQ(sig_cont, SIGCONT);
  EXPECT_EQ(sig_hangup, SIGHUP);
  EXPECT_EQ(sig_int, SIGINT);
  EXPECT_EQ(sig_pipe, SIGPIPE);
  EXPECT_EQ(sig_term, SIGTERM);
  EXPECT_EQ(sig_ignorehandler, SIG_IGN);
  EXPECT_EQ(sig_defaulthandler, SIG_DFL);
}

TEST(sig_catch, NoRestartSoBlockedReadFailsWithEintr) {
  auto r = in_child([] {
    sig_catch(sig_alarm, on_signal);
    struct sigaction sa;
    sigaction(SIGALRM, nullptr, &sa);
    CHILD_CHECK((sa.sa_flags & SA_RESTART) == 0);
    CHILD_CHECK(sa.sa_handler == on_signal);
    int p[2];
    CHILD_CHECK(pipe(p) == 0);
    struct itimerval it {};
    it.it_value.tv_usec = 50000;
    setitimer(ITIMER_REAL, &it, nullptr);
    char c;
    errno = 0;
    CHILD_CHECK(read(p[0], &c, 1) == -1);
    CHILD_CHECK(errno == EINTR);
    CHILD_CHECK(caught == 1);
    return 0;
  });
  EXPECT_EQ(r.code(), 0);
}

TEST(sig_catch, IgnoreAndDefault) {
  auto r = in_child([] {
    sig_catch(sig_pipe, sig_ignorehandler);
    int p[2];
    CHILD_CHECK(pipe(p) == 0);
    close(p[0]);
    errno = 0;
    CHILD_CHECK(write(p[1], "x", 1) == -1);  // no SIGPIPE death
    CHILD_CHECK(errno == EPIPE);
    sig_catch(sig_pipe, sig_defaulthandler);
    struct sigaction sa;
    sigaction(SIGPIPE, nullptr, &sa);
    CHILD_CHECK(sa.sa_handler == SIG_DFL);
    return 0;
  });
  EXPECT_EQ(r.code(), 0);
}

TEST(sig_block, BlockUnblockNone) {
  auto r = in_child([] {
    sig_blocknone();
    sig_block(sig_child);
    sig_block(sig_term);
    CHILD_CHECK(blocked(SIGCHLD));
    CHILD_CHECK(blocked(SIGTERM));
    sig_unblock(sig_child);
    CHILD_CHECK(!blocked(SIGCHLD));
    CHILD_CHECK(blocked(SIGTERM));
    sig_blocknone();
    CHILD_CHECK(!blocked(SIGTERM));
    return 0;
  });
  EXPECT_EQ(r.code(), 0);
}

TEST(sig_pause, UnblocksAndWaitsForHandler) {
  auto r = in_child([] {
    sig_catch(sig_term, on_signal);
    sig_block(sig_term);
    kill(getpid(), SIGTERM);  // stays pending while blocked
    CHILD_CHECK(caught == 0);
    sig_pause();  // runs the handler, then returns
    CHILD_CHECK(caught == 1);
    CHILD_CHECK(blocked(SIGTERM));  // the old mask is back
    return 0;
  });
  EXPECT_EQ(r.code(), 0);
}

TEST(wait_nohang, RunningChildThenExited) {
  auto r = in_child([] {
    int ws = 0;
    errno = 0;
    CHILD_CHECK(wait_nohang(&ws) == -1);  // no children at all
    CHILD_CHECK(errno == ECHILD);
    int p[2];
    CHILD_CHECK(pipe(p) == 0);
    const pid_t pid = fork();
    if (pid == 0) {
      close(p[1]);
      char c;
      (void)!read(p[0], &c, 1);
      _exit(7);
    }
    close(p[0]);
    CHILD_CHECK(wait_nohang(&ws) == 0);
    close(p[1]);  // lets the grandchild exit
    CHILD_CHECK(wait_child(&ws, pid) == pid);
    CHILD_CHECK(WIFEXITED(ws) && WEXITSTATUS(ws) == 7);
    return 0;
  });
  EXPECT_EQ(r.code(), 0);
}

TEST(wait_child, RetriesAfterInterruption) {
  auto r = in_child([] {
    sig_catch(sig_alarm, on_signal);  // no restart: waitpid fails with EINTR
    const pid_t pid = fork();
    if (pid == 0) {
      usleep(200000);
      _exit(3);
    }
    struct itimerval it {};
    it.it_value.tv_usec = 30000;
    setitimer(ITIMER_REAL, &it, nullptr);
    int ws = 0;
    CHILD_CHECK(wait_child(&ws, pid) == pid);
    CHILD_CHECK(caught == 1);
    CHILD_CHECK(WIFEXITED(ws) && WEXITSTATUS(ws) == 3);
    errno = 0;
    CHILD_CHECK(wait_child(&ws, pid) == -1);
    CHILD_CHECK(errno == ECHILD);
    return 0;
  });
  EXPECT_EQ(r.code(), 0);
}

TEST(prot, SwitchesGroupsThenUser) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  const testutil::User nobody = testutil::nobody();
  auto r = in_child([nobody] {
    CHILD_CHECK(prot_gid(nobody.gid) == 0);
    CHILD_CHECK(getgid() == nobody.gid);
    CHILD_CHECK(getegid() == nobody.gid);
    gid_t list[4];
    CHILD_CHECK(getgroups(4, list) == 1);
    CHILD_CHECK(list[0] == nobody.gid);
    CHILD_CHECK(prot_uid(nobody.uid) == 0);
    CHILD_CHECK(getuid() == nobody.uid);
    CHILD_CHECK(geteuid() == nobody.uid);
    // No way back: both calls now fail for lack of privilege.
    errno = 0;
    CHILD_CHECK(prot_gid(0) == -1);
    CHILD_CHECK(errno == EPERM);
    CHILD_CHECK(getgid() == nobody.gid);
    CHILD_CHECK(prot_uid(0) == -1);
    CHILD_CHECK(errno == EPERM);
    return 0;
  });
  EXPECT_EQ(r.code(), 0);
}

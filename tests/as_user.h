#ifndef LAGWATCH_TESTS_AS_USER_H_
#define LAGWATCH_TESTS_AS_USER_H_

// Test runs as an unprivileged user (nobody), wherever the build tree lies.
//
// The tests compile their sandbox paths into the program, so the user must reach them at those
// paths. When an ancestor of the tree refuses the user (a clone in /root, mode 700), the child
// that is about to drop to the user first takes a mount namespace of its own, in which that
// ancestor is covered by a tmpfs of mode 0755 that holds the tree, bind-mounted back at its own
// path. Everything inside the tree keeps its owners and modes, so the user is refused exactly
// where a test wants it refused. Where every ancestor lets the user through, nothing is mounted.

#include <sys/types.h>

#include <string>
#include <vector>

namespace lagwatch::test_support {

class AsUser {
 public:
  // Prepared before the fork: `tree` (absolute) must be reachable by `uid`:`gid`.
  AsUser(const std::string& tree, uid_t uid, gid_t gid);

  // In the forked child, as root: makes the tree reachable if it is not, then drops to the user
  // and group, with no supplementary groups; allocates nothing. Returns false after one line on
  // standard error, beginning "harness: ", that names the step that failed.
  bool enter() const noexcept;

 private:
  // Covers the ancestor that refuses the user, in a mount namespace of this process's own.
  bool make_reachable() const noexcept;

  std::string tree_;
  std::string cover_;              // the highest ancestor the user cannot enter; empty: none
  std::vector<std::string> dirs_;  // below cover_, down to the tree itself
  uid_t uid_;
  gid_t gid_;
};

}  // namespace lagwatch::test_support

#endif  // LAGWATCH_TESTS_AS_USER_H_

#include "harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <pty.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

const char *test_program()
{
	return std::getenv("E2E_READAHEAD") != nullptr ? READAHEAD_PROGRAM : PLAIN_PROGRAM;
}

std::string identity_table()
{
	std::string table(256, '\0');
	for (int v = 1; v < 256; v++)
		table[v] = v == '/' ? '\0' : static_cast<char>(v);
	return table;
}

void write_file(const std::string &path, const std::string &bytes)
{
	std::ofstream out(path, std::ios::binary | std::ios::trunc);
	out << bytes;
	ASSERT_TRUE(out.good()) << path;
}

std::string read_file(const std::string &path, bool *missing)
{
	std::ifstream in(path, std::ios::binary);
	if (missing != nullptr)
		*missing = !in.is_open();
	std::ostringstream bytes;
	bytes << in.rdbuf();
	return bytes.str();
}

bool exists(const std::string &path)
{
	struct stat st;
	return lstat(path.c_str(), &st) == 0;
}

void make_dir(const std::string &path)
{
	ASSERT_EQ(mkdir(path.c_str(), 0755), 0) << path << ": " << std::strerror(errno);
}

void make_link(const std::string &target, const std::string &path)
{
	ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0) << path << ": " << std::strerror(errno);
}

void make_chain(const std::string &top, const std::vector<std::string> &levels,
                const std::string &file)
{
	int fd = open(top.c_str(), O_RDONLY | O_DIRECTORY);
	ASSERT_GE(fd, 0) << top;
	for (const std::string &level : levels) {
		ASSERT_EQ(mkdirat(fd, level.c_str(), 0755), 0) << std::strerror(errno);
		int down = openat(fd, level.c_str(), O_RDONLY | O_DIRECTORY);
		close(fd);
		fd = down;
		ASSERT_GE(fd, 0) << level;
	}
	int made = openat(fd, file.c_str(), O_WRONLY | O_CREAT, 0644);
	ASSERT_GE(made, 0) << file;
	close(made);
	close(fd);
}

std::vector<std::string> names(const std::string &dir)
{
	std::vector<std::string> found;
	DIR *d = opendir(dir.c_str());
	if (d == nullptr)
		return found;
	while (const dirent *e = readdir(d)) {
		std::string name = e->d_name;
		if (name != "." && name != "..")
			found.push_back(name);
	}
	closedir(d);
	std::sort(found.begin(), found.end());
	return found;
}

bool reachable_by(uid_t id, const std::string &dir)
{
	pid_t pid = fork();
	if (pid == 0) {
		if (setgid(id) != 0 || setuid(id) != 0)
			_exit(1);
		_exit(access(PROGRAM, X_OK) == 0 && access(dir.c_str(), X_OK) == 0 ? 0 : 1);
	}
	int status;
	return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

namespace
{

void take_snapshot(const std::string &root, const std::string &rel, bool status,
                   std::map<std::string, std::string> &out)
{
	for (const std::string &name : names(root + rel)) {
		std::string path = rel + "/" + name;
		struct stat st;
		if (lstat((root + path).c_str(), &st) != 0)
			continue;
		std::string &what = out[path];
		if (status) {
			std::ostringstream line;
			line << std::oct << st.st_mode << std::dec << " " << st.st_ino << " "
			     << st.st_size << " " << st.st_ctim.tv_sec << "." << st.st_ctim.tv_nsec
			     << " " << st.st_mtim.tv_sec << "." << st.st_mtim.tv_nsec;
			what = line.str();
		} else if (S_ISDIR(st.st_mode)) {
			what = "/";
		} else if (S_ISLNK(st.st_mode)) {
			std::string target(4096, '\0');
			ssize_t n = readlink((root + path).c_str(), target.data(), target.size());
			target.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
			what = "-> " + target;
		} else {
			what = "= " + read_file(root + path);
		}
		if (S_ISDIR(st.st_mode))
			take_snapshot(root, path, status, out);
	}
}

}  // namespace

std::map<std::string, std::string> snapshot(const std::string &root, bool status)
{
	std::map<std::string, std::string> out;
	take_snapshot(root, "", status, out);
	return out;
}

std::string tree_state(const std::string &root)
{
	std::string text;
	for (const auto &[path, what] : snapshot(root, true))
		text += path + " " + what + "\n";
	return text;
}

void remove_tree(const std::string &path)
{
	if (!exists(path))
		return;
	std::string command = "rm -rf '" + path + "'";
	ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

std::string report(std::uint64_t folders, std::uint64_t files, std::uint64_t conversions,
                   const std::string &failures)
{
	const std::string rule = "------------------------------------\r\n";
	return rule +
	       "Codepage 850 filename conversion\r\nInit...\r\nReading mac2cp850.tab...ok.\r\n" +
	       "Success.\r\n" + rule + "\r\nMountpoint is " E2E_DIR "/convmount\r\n" +
	       "Accessing...done\r\n" + failures + rule +
	       "\r\nISO-8859-1 filename conversion finished.\r\n" +
	       "Stats:\r\nChecked folders:  " + std::to_string(folders) +
	       "\r\nChecked files:    " + std::to_string(files) +
	       "\r\nConversions done: " + std::to_string(conversions) +
	       "\r\n\r\nFor a complete list of all affected files see \"convert.log\".\r\n" +
	       "May the Umlaut be with you.\r\n\r\n";
}

std::string to_target(std::string out, const std::string &target)
{
	for (const std::string line : {"Codepage 850 filename", "ISO-8859-1 filename"})
		if (std::size_t at = out.find(line); at != std::string::npos)
			out.replace(at, line.size() - 9, target);
	return out;
}

std::string failed_renames(std::uint64_t count)
{
	return "Renames that failed: " + std::to_string(count) +
	       " (see " E2E_DIR "/records/convert.log)\r\n";
}

std::string table_hint()
{
	return "The installed table is " DATADIR "/mac2cp850.tab: mac2cp850 --table " DATADIR
	       "/mac2cp850.tab\r\n";
}

std::string withheld(std::uint64_t count, const std::string &reason)
{
	return "Kept their names for want of a record: " + std::to_string(count) + " (" + reason +
	       ")\r\n";
}

std::string log_section(const std::string &body, std::uint64_t folders, std::uint64_t files,
                        std::uint64_t conversions)
{
	return "Dravolin Update 1.8\r\nThe following filenames were converted:\r\n\r\n" + body +
	       "\r\nFinished\r\nChecked folders:  " + std::to_string(folders) +
	       "\r\nChecked files:    " + std::to_string(files) +
	       "\r\nConversions done: " + std::to_string(conversions) + "\r\n";
}

std::string stats_text(std::uint64_t files, std::uint64_t folders)
{
	return "Dravolin Update 1.8\r\nFilename conversion stats:\r\nFiles checked: " +
	       std::to_string(files) + "\r\nFolders checked: " + std::to_string(folders) + "\r\n";
}

std::vector<std::string> logged_lines(const std::string &log)
{
	const std::string head = "The following filenames were converted:\r\n\r\n";
	std::size_t start = log.find(head);
	std::size_t end = log.find("\r\nFinished\r\n");
	std::vector<std::string> lines;
	if (start == std::string::npos || end == std::string::npos)
		return {"no section"};
	start += head.size();
	for (std::size_t at = start, next; at < end; at = next + 2) {
		next = log.find("\r\n", at);
		lines.push_back(log.substr(at, next - at));
	}
	std::sort(lines.begin(), lines.end());
	return lines;
}

void e2e::SetUp()
{
	remove_tree(top);
	for (const std::string &dir : {top, mount, records, work, outside})
		make_dir(dir);
	write_table(identity_table());
}

void e2e::TearDown()
{
	for (auto it = mounts.rbegin(); it != mounts.rend(); ++it)
		(void)umount2(it->c_str(), MNT_DETACH);
	if (!HasFailure())
		remove_tree(top);
}

void e2e::write_table(const std::string &bytes) const
{
	write_file(work + "/mac2cp850.tab", bytes);
}

bool e2e::mount_tmpfs(const std::string &dir, const std::string &options)
{
	if (::mount("tmpfs", dir.c_str(), "tmpfs", 0, options.c_str()) != 0)
		return false;
	mounts.push_back(dir);
	return true;
}

bool e2e::mount_image(const std::string &image, const std::string &dir, const std::string &options)
{
	std::string command = "truncate -s 16M '" + image + "' && mkfs.ext4 -q " + options + " '" +
	                      image + "' >/dev/null 2>&1 && mount -o loop '" + image + "' '" + dir +
	                      "'";
	if (std::system(command.c_str()) != 0)
		return false;
	mounts.push_back(dir);
	return true;
}

bool e2e::mount_fuse(const std::string &source, const std::string &dir)
{
	if (std::system(("bindfs -u 0 -g 0 -p 0755 '" + source + "' '" + dir + "' 2>/dev/null")
	                        .c_str()) != 0)
		return false;
	mounts.push_back(dir);
	return true;
}

std::string e2e::log() const
{
	return read_file(log_path);
}

std::string e2e::journal() const
{
	return read_file(journal_path);
}

std::string e2e::volume_noted() const
{
	const std::string text = journal();
	const std::string volume = text.substr(58, text.find('\n') - 58);
	std::string on = "  on " + volume.substr(0, volume.find(' '));
	if (std::string uuid = volume.substr(volume.find(' ') + 1); uuid != "-")
		on += " (UUID " + uuid + ")";
	return on;
}

std::string e2e::named_run(std::size_t n) const
{
	std::vector<std::string> times;
	const std::string text = "\n" + journal();
	const std::string header = "\nmac2cp850-journal ";
	for (std::size_t at = text.find(header); at != std::string::npos;
	     at = text.find(header, at + 1)) {
		std::size_t time = at + header.size() + 19;
		times.push_back(text.substr(time, text.find_first_of(" \n", time) - time));
	}
	if (n == 0 || n > times.size())
		return "no run " + std::to_string(n);
	std::string line = "mac2cp850-undo: run " + std::to_string(n) + " of " +
	                   std::to_string(times.size()) + ", started " + times[times.size() - n];
	if (n > 1)
		line += "; the " + std::to_string(n - 1) + (n > 2 ? " runs" : " run") +
		        " after it renamed nothing";
	return line + "\n";
}

std::string e2e::stats() const
{
	return read_file(stats_path);
}

namespace
{

// How a test starts a program: the folder it runs in, its limits, and what it runs as.
struct launch {
	const char *program;
	std::vector<std::string> args;
	std::string dir;
	rlim_t nofile = 0;          // nonzero: the soft open-file limit
	bool console_gone = false;  // the reading end of standard output closed before the start
	unsigned inherited = 0;  // descriptors left open for the program beyond the standard three
	uid_t uid = 0;           // nonzero: user and group to run as
	unsigned seconds = 0;    // nonzero: SIGALRM ends a run that takes longer
	std::string err_path;    // nonempty: standard error goes to this file, read back after
	bool err_tty = false;    // standard error is a pseudo-terminal (out_tty's), read back after
	bool out_tty = false;    // standard output is a pseudo-terminal instead of a pipe
	const char *locale = nullptr;  // non-null: LC_ALL for the program
};

run_result spawn(const launch &how)
{
	std::vector<char *> argv{const_cast<char *>(how.program)};
	for (const std::string &arg : how.args)
		argv.push_back(const_cast<char *>(arg.c_str()));
	argv.push_back(nullptr);
	int out[2];
	if (pipe(out) != 0)
		return {-1, "pipe failed", {}};
	// A terminal that passes bytes through as they are written.
	int master = -1;
	int terminal = -1;
	termios raw{};
	cfmakeraw(&raw);
	if ((how.err_tty || how.out_tty) &&
	    openpty(&master, &terminal, nullptr, &raw, nullptr) != 0)
		return {-1, "no pseudo-terminal", {}};
	if (how.console_gone)
		close(out[0]);
	pid_t pid = fork();
	if (pid == 0) {
		if (dup2(out[1], STDOUT_FILENO) < 0)
			_exit(127);
		if (!how.console_gone)
			close(out[0]);
		close(out[1]);
		if (!how.err_path.empty()) {
			int err = open(how.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
			if (err < 0 || dup2(err, STDERR_FILENO) < 0)
				_exit(127);
		}
		if ((how.out_tty && dup2(terminal, STDOUT_FILENO) < 0) ||
		    (how.err_tty && dup2(terminal, STDERR_FILENO) < 0))
			_exit(127);
		if (how.locale != nullptr)
			setenv("LC_ALL", how.locale, 1);
		if (chdir(how.dir.c_str()) != 0)
			_exit(127);
		// Whatever the test runner left open is not the program's to inherit.
		if (close_range(3, ~0U, 0) != 0)
			_exit(126);
		for (unsigned i = 0; i < how.inherited; i++)
			if (open("/dev/null", O_RDONLY) < 0)
				_exit(126);
		// LeakSanitizer's check at exit needs descriptors that a starved program lacks.
		if (how.inherited != 0)
			setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
		if (how.nofile != 0) {
			struct rlimit limit;
			getrlimit(RLIMIT_NOFILE, &limit);
			limit.rlim_cur = how.nofile;
			if (setrlimit(RLIMIT_NOFILE, &limit) != 0)
				_exit(126);
		}
		if (how.uid != 0 &&
		    (setgroups(0, nullptr) != 0 || setgid(how.uid) != 0 || setuid(how.uid) != 0))
			_exit(126);
		(void)alarm(how.seconds);  // a pending alarm outlives exec
		execv(how.program, argv.data());
		_exit(127);
	}
	close(out[1]);
	if (terminal >= 0)
		close(terminal);
	run_result result{-1, {}, {}};
	if (how.out_tty) {
		// Read while it writes, until the terminal's last writer is gone.
		char buf[4096];
		ssize_t n;
		while ((n = read(master, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
			if (n > 0)
				result.out.append(buf, static_cast<std::size_t>(n));
		close(master);
		master = -1;
	}
	if (!how.console_gone) {
		char buf[4096];
		ssize_t n;
		while ((n = read(out[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
			if (n > 0)
				result.out.append(buf, static_cast<std::size_t>(n));
		close(out[0]);
	}
	int status;
	waitpid(pid, &status, 0);
	if (WIFEXITED(status))
		result.status = WEXITSTATUS(status);
	if (master >= 0) {
		// What the program wrote there waits in the terminal until read.
		(void)fcntl(master, F_SETFL, O_NONBLOCK);
		char buf[4096];
		ssize_t n;
		while ((n = read(master, buf, sizeof buf)) > 0)
			result.err.append(buf, static_cast<std::size_t>(n));
		close(master);
	}
	if (!how.err_path.empty()) {
		result.err = read_file(how.err_path);
		unlink(how.err_path.c_str());
	}
	return result;
}

}  // namespace

run_result e2e::run(rlim_t nofile, bool console_gone, unsigned inherited)
{
	launch how{PROGRAM, {}, work};
	how.nofile = nofile;
	how.console_gone = console_gone;
	how.inherited = inherited;
	return spawn(how);
}

run_result e2e::run_as(uid_t id, unsigned seconds)
{
	launch how{PROGRAM, {}, work};
	how.uid = id;
	how.seconds = seconds;
	return spawn(how);
}

run_result e2e::run_with(const std::vector<std::string> &args, uid_t id, bool err_tty,
                         rlim_t nofile, const char *program)
{
	launch how{program, args, work};
	how.uid = id;
	how.nofile = nofile;
	how.err_tty = err_tty;
	if (!err_tty)
		how.err_path = top + "/program.err";
	return spawn(how);
}

run_result e2e::run_on_terminal(const std::vector<std::string> &args, const char *locale,
                                const char *program, bool err_too)
{
	launch how{program, args, work};
	how.out_tty = true;
	how.err_tty = err_too;
	how.locale = locale;
	if (!err_too)
		how.err_path = top + "/program.err";
	return spawn(how);
}

run_result e2e::undo(const std::vector<std::string> &args, rlim_t nofile)
{
	launch how{UNDO_PROGRAM, args, work};
	how.nofile = nofile;
	how.err_path = top + "/undo.err";
	return spawn(how);
}

// The child stops itself for the tracer, then lets a seccomp filter stop it at every renameat2
// and write, so that only those calls cost a round trip to the tracer.
run_result e2e::run_killed(kill_point at, unsigned long n, bool &killed,
                           const std::function<void()> &meanwhile, const char *program,
                           const std::vector<std::string> &args, int sig)
{
	killed = false;
	const std::string out_path = top + "/killed.out";
	std::vector<char *> argv{const_cast<char *>(program)};
	for (const std::string &arg : args)
		argv.push_back(const_cast<char *>(arg.c_str()));
	argv.push_back(nullptr);
	pid_t pid = fork();
	if (pid == 0) {
		int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
		if (out < 0 || dup2(out, STDOUT_FILENO) < 0 || chdir(work.c_str()) != 0)
			_exit(127);
		// LeakSanitizer's exit check traces the process, which a traced one can't allow.
		setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
		if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0 || raise(SIGSTOP) != 0)
			_exit(126);
		sock_filter filter[] = {
		        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
		        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_renameat2, 0, 1),
		        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRACE | kill_at_rename),
		        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_write, 0, 1),
		        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRACE | kill_at_write),
		        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
		};
		sock_fprog filters = {sizeof filter / sizeof filter[0], filter};
		if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
		    prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filters) != 0)
			_exit(126);
		execv(program, argv.data());
		_exit(127);
	}
	int status;
	if (waitpid(pid, &status, 0) != pid || !WIFSTOPPED(status))
		return {-1, "no tracing"};
	long options = PTRACE_O_TRACESECCOMP | PTRACE_O_EXITKILL;
	if (ptrace(PTRACE_SETOPTIONS, pid, nullptr, options) != 0) {
		kill(pid, SIGKILL);
		waitpid(pid, &status, 0);
		return {-1, "no tracing"};
	}
	unsigned long seen = 0;
	int pass = 0;  // signal handed on to the program when it continues
	for (;;) {
		if (ptrace(PTRACE_CONT, pid, nullptr, pass) != 0)
			kill(pid, SIGKILL);
		if (waitpid(pid, &status, 0) != pid || WIFEXITED(status) || WIFSIGNALED(status))
			break;
		pass = 0;
		if (status >> 8 == (SIGTRAP | (PTRACE_EVENT_SECCOMP << 8))) {
			unsigned long call = 0;
			ptrace(PTRACE_GETEVENTMSG, pid, nullptr, &call);
			if (call == static_cast<unsigned long>(at) && ++seen == n) {
				killed = true;
				if (meanwhile)
					meanwhile();
				kill(pid, sig);
				if (sig != SIGKILL)
					continue;
				while (waitpid(pid, &status, 0) == pid && !WIFEXITED(status) &&
				       !WIFSIGNALED(status))
					;
				break;
			}
		} else if (WSTOPSIG(status) != SIGTRAP) {
			pass = WSTOPSIG(status);  // the SIGTRAP is the one that follows exec
		}
	}
	return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, read_file(out_path)};
}

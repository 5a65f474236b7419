// tessaril on disk images through libguestfs, as an unprivileged user (the
// user nobody when the tests run as root), checked from the outside. Each
// image a run opens costs an appliance start (15 to 30 s without KVM), so
// this group starts it six times in all: once to write the sample
// installations into the images (a bare NTFS volume, a partitioned raw image
// with two installations, a partitioned qcow2 image), once per run of
// tessaril on an image (four), and once to read the images back. Where
// libguestfs cannot start its appliance, the group reports itself skipped
// with libguestfs's reason.
#include "offline_harness.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

using namespace offline;

namespace {

const std::string kClass = "/ControlSet001/Control/Class/{4D36E965-E325-11CE-BFC1-08002BE10318}";

// Where the images are, and how tessaril and guestfish are run there.
struct Place {
    std::string folder; // nobody's own when the tests run as root
    std::vector<std::string> as; // setpriv and its options, or nothing
    std::string tmp;    // the runs' TMPDIR, to see what they leave in it
};
Place g_place;
std::string g_skip; // why the group cannot run here
// tessaril, copied into the group's folder: the build tree may lie where the
// user nobody cannot reach it (a private home).
std::string g_exe = TESSARIL_EXE;

RunResult AsUser(std::vector<std::string> argv, const std::string &input = "")
{
    std::string in = g_place.folder + "/input";
    WriteFile(in, input);
    std::vector<std::string> full = {"/bin/sh", "-c", "f=$1; shift; exec \"$@\" < \"$f\"", "sh", in};
    full.insert(full.end(), g_place.as.begin(), g_place.as.end());
    // libguestfs keeps its appliance where it does without TMPDIR, and
    // builds it there once for all the runs.
    full.insert(full.end(), {"/usr/bin/env", "TMPDIR=" + g_place.tmp, "LIBGUESTFS_CACHEDIR=/var/tmp",
                             "LIBGUESTFS_BACKEND=direct"});
    full.insert(full.end(), argv.begin(), argv.end());
    return RunProgram(full);
}

RunResult Tessaril(std::vector<std::string> args)
{
    args.insert(args.begin(), g_exe);
    return AsUser(args);
}

RunResult Guestfish(const std::string &script)
{
    std::string file = g_place.folder + "/script";
    WriteFile(file, script);
    return AsUser({"/usr/bin/guestfish", "-f", file});
}

std::string Image(const std::string &name) { return g_place.folder + "/" + name; }

bool Contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

// The SYSTEM hive of a sample installation repaired in a folder, the
// reference for one repaired in an image.
std::map<std::string, std::string> RepairedInFolder(const std::vector<std::string> &sample)
{
    std::string windows = MakeSample(FreshFolder("image-reference"), sample);
    EXPECT_EQ(0, RunTessaril(NULL, "", {"--yes", windows}).exitCode);
    return Contents(windows + "/system32/config/system");
}

// Writes the images: bare.img a bare NTFS volume with an XP installation;
// part.img two NTFS partitions, an XP installation on the first (with a
// boot.ini whose default names neither) and a Windows 2000 one on the second;
// xp.qcow2 a qcow2 image partitioned with an XP installation. False with the
// reason when libguestfs cannot do it here.
bool WriteImages(std::string *why)
{
    std::string xp = MakeSample(g_place.folder + "/xp"), w2k = MakeSample(g_place.folder + "/w2k", {"--version", "5.0"});
    if (xp.empty() || w2k.empty()) {
        *why = "the sample installations could not be written";
        return false;
    }
    WriteFile(g_place.folder + "/boot.ini", "[boot loader]\r\ndefault=multi(0)disk(0)rdisk(0)partition(1)\\WIN98\r\n");
    std::string tars = "tar -C '" + g_place.folder + "/xp' -cf '" + g_place.folder + "/xp.tar' . && tar -C '" +
                       g_place.folder + "/w2k' -cf '" + g_place.folder + "/w2k.tar' . && chmod -R a+rX '" +
                       g_place.folder + "'";
    if (system(tars.c_str()) != 0) {
        *why = "tar failed";
        return false;
    }
    const std::string &f = g_place.folder;
    RunResult r = Guestfish("sparse " + f + "/bare.img 64M\n"
                            "sparse " + f + "/part.img 128M\n"
                            "disk-create " + f + "/xp.qcow2 qcow2 64M\n"
                            "add-drive " + f + "/xp.qcow2 format:qcow2\n"
                            "run\n"
                            "mkfs ntfs /dev/sda\n"
                            "part-init /dev/sdb mbr\n"
                            "part-add /dev/sdb p 2048 131071\n"
                            "part-add /dev/sdb p 131072 -2048\n"
                            "mkfs ntfs /dev/sdb1\n"
                            "mkfs ntfs /dev/sdb2\n"
                            "part-disk /dev/sdc mbr\n"
                            "mkfs ntfs /dev/sdc1\n"
                            "mount /dev/sda /\ntar-in " + f + "/xp.tar /\numount-all\n"
                            "mount /dev/sdb1 /\ntar-in " + f + "/xp.tar /\nupload " + f + "/boot.ini /boot.ini\numount-all\n"
                            "mount /dev/sdb2 /\ntar-in " + f + "/w2k.tar /\numount-all\n"
                            "mount /dev/sdc1 /\ntar-in " + f + "/xp.tar /\numount-all\n");
    if (r.exitCode != 0) {
        *why = "libguestfs cannot start its appliance here: " + r.err;
        return false;
    }
    return true;
}

// What the images hold after the runs, read with guestfish: each Windows
// folder's config listing, its SYSTEM hive and its log, into out/.
std::map<std::string, std::string> ReadImagesBack()
{
    const std::string &f = g_place.folder;
    std::string out = f + "/out";
    mkdir(out.c_str(), 0777);
    chmod(out.c_str(), 0777);
    std::string script = "add-drive " + f + "/bare.img readonly:true format:raw\n"
                         "add-drive " + f + "/part.img readonly:true format:raw\n"
                         "add-drive " + f + "/xp.qcow2 readonly:true format:qcow2\nrun\n";
    struct Where {
        const char *name, *device, *windows;
    } wheres[] = {{"bare", "/dev/sda", "/WINDOWS"}, {"p1", "/dev/sdb1", "/WINDOWS"},
                  {"p2", "/dev/sdb2", "/WINNT"}, {"qcow2", "/dev/sdc1", "/WINDOWS"}};
    for (const Where &w : wheres)
        script += std::string("mount-ro ") + w.device + " /\necho ==" + w.name + "\nls " + w.windows +
                  "/system32/config\n-download " + w.windows + "/system32/config/system " + out + "/" +
                  w.name + "-system\n-download " + w.windows + "/Temp/Tessaril.log " + out + "/" + w.name +
                  "-log\numount-all\n";
    RunResult r = Guestfish(script);
    EXPECT_EQ(0, r.exitCode) << r.err;
    std::map<std::string, std::string> listings;
    std::string current;
    std::stringstream lines(r.out);
    for (std::string line; std::getline(lines, line);)
        if (line.compare(0, 2, "==") == 0)
            current = line.substr(2);
        else
            listings[current] += line + " ";
    return listings;
}

// The shadow folders of runs left in their TMPDIR.
std::set<std::string> Leftovers()
{
    std::set<std::string> left;
    for (const std::string &n : FolderNames(g_place.tmp))
        if (n.compare(0, 15, "tessaril-image-") == 0)
            left.insert(n);
    return left;
}

} // namespace

TEST(ImageRuns, RepairedAsAnOrdinaryUserAndReadBack)
{
    // --check on the bare volume: what a repair would change, as JSON, and
    // not a byte of the image changed.
    std::string bare = ReadFile(Image("bare.img"));
    RunResult r = Tessaril({"--check", "--json", Image("bare.img")});
    EXPECT_EQ(5, r.exitCode) << r.err;
    EXPECT_TRUE(bare == ReadFile(Image("bare.img")));
    nlohmann::json j = nlohmann::json::parse(r.out, nullptr, false);
    ASSERT_FALSE(j.is_discarded()) << r.out;
    EXPECT_EQ(5, j["status"]);
    EXPECT_EQ(Image("bare.img"), j["installation"]["image"]);
    EXPECT_EQ("raw", j["installation"]["format"]);
    EXPECT_EQ("/dev/sda", j["installation"]["filesystem"]);
    EXPECT_EQ("/WINDOWS", j["installation"]["windows"]);
    EXPECT_EQ("5.1", j["version"]["number"]);
    EXPECT_EQ(nullptr, j["log"]);
    for (const char *driver : {"Gravle2k", "kvt_2k", "Mbx7_xp"})
        EXPECT_EQ(1, std::count(j["keys_added"].begin(), j["keys_added"].end(),
                                std::string("ControlSet001\\Services\\") + driver))
            << j["keys_added"];

    // The qcow2 image repaired, its old hive kept.
    r = Tessaril({"--yes", "--backup", Image("xp.qcow2")});
    EXPECT_EQ(0, r.exitCode) << r.err;
    EXPECT_TRUE(Contains(r.summary, "repaired, and the hive saved")) << r.summary;
    EXPECT_TRUE(Contains(r.summary, "kept as " + Image("xp.qcow2") + ":/dev/sda1/WINDOWS/system32/config/"
                                    "system.before-tessaril-"))
        << r.summary;
    EXPECT_TRUE(Contains(r.summary, "the log: " + Image("xp.qcow2") + ":/dev/sda1/WINDOWS/Temp/Tessaril.log"))
        << r.summary;

    // Two installations and a boot.ini that names neither: listed, nothing
    // written; then the one named repaired.
    std::string part = ReadFile(Image("part.img"));
    r = Tessaril({"--yes", Image("part.img")});
    EXPECT_EQ(2, r.exitCode);
    EXPECT_EQ("tessaril: " + Image("part.img") + " holds 2 Windows folders: /dev/sda1/WINDOWS, "
              "/dev/sda2/WINNT (boot.ini's default names WIN98, which is none of them). Name the one to "
              "repair, for example: tessaril --windows=/dev/sda1/WINDOWS " + Image("part.img") +
              ". Nothing was changed.\n", r.err);
    EXPECT_TRUE(part == ReadFile(Image("part.img")));
    r = Tessaril({"--yes", "--windows=/dev/sda2/WINNT", Image("part.img")});
    EXPECT_EQ(0, r.exitCode) << r.err;
    EXPECT_EQ("", r.err);
    EXPECT_EQ((std::set<std::string>{}), Leftovers());

    // Read back from the outside: the repaired hives are what a repair in a
    // folder makes of the same installation, each beside its log and, with
    // --backup, one copy of the old hive; the rest untouched.
    std::map<std::string, std::string> listings = ReadImagesBack();
    std::string out = g_place.folder + "/out/";
    std::string xpHive = ReadFile(g_place.folder + "/xp/WINDOWS/system32/config/system");
    EXPECT_TRUE(ReadFile(out + "bare-system") == xpHive);
    EXPECT_TRUE(ReadFile(out + "p1-system") == xpHive);
    EXPECT_EQ("software system ", listings["bare"]);
    EXPECT_EQ("software system ", listings["p1"]);
    EXPECT_EQ(RepairedInFolder({}), Contents(out + "qcow2-system"));
    EXPECT_TRUE(KernelAccepts(out + "qcow2-system"));
    EXPECT_EQ(RepairedInFolder({"--version", "5.0"}), Contents(out + "p2-system"));
    EXPECT_TRUE(KernelAccepts(out + "p2-system"));
    EXPECT_TRUE(Contains(listings["qcow2"], "software system system.before-tessaril-2")) << listings["qcow2"];
    EXPECT_EQ(3, std::count(listings["qcow2"].begin(), listings["qcow2"].end(), ' ')) << listings["qcow2"];
    EXPECT_EQ("software system ", listings["p2"]);
    EXPECT_TRUE(Contains(ReadFile(out + "qcow2-log"), Entry("After create Mbx7_xp in LowerFilters values: PxHelp20|Mbx7_xp")));
    EXPECT_TRUE(Contains(ReadFile(out + "p2-log"), Entry("After create Mbx7_2k in LowerFilters values: PxHelp20|Mbx7_2k")));
}

// Refusals that need no appliance: an image a virtual machine holds, and one
// where libguestfs cannot be loaded (hidden from the run, as root); and a run
// killed while the appliance starts leaves nothing in TMPDIR.
TEST(ImageRuns, RefusedWithoutAnApplianceAndKilled)
{
    struct stat image;
    ASSERT_EQ(0, stat(Image("bare.img").c_str(), &image));
    std::string lock = ":" + std::to_string(image.st_ino) + " 10";
    for (const char *option : {"--check", "--yes"}) {
        pid_t vm = fork();
        if (vm == 0) {
            execl("/usr/bin/qemu-system-x86_64", "qemu-system-x86_64", "-S", "-nodefaults", "-display", "none",
                  "-machine", "pc,accel=tcg", "-drive", ("file=" + Image("bare.img") + ",format=raw,if=virtio").c_str(),
                  (char *)NULL);
            _exit(127);
        }
        // qemu holds its locks once the device is set up, before it waits.
        bool held = false;
        for (int i = 0; i < 200 && !held; i++) {
            usleep(50000);
            held = Contains(ReadFile("/proc/locks"), lock);
        }
        ASSERT_TRUE(held);
        std::string bytes = ReadFile(Image("bare.img"));
        RunResult r = Tessaril({option, "--json", Image("bare.img")});
        kill(vm, SIGTERM);
        waitpid(vm, NULL, 0);
        EXPECT_EQ(2, r.exitCode) << option;
        EXPECT_TRUE(Contains(r.err, Image("bare.img") + " is in use: another process has it open through qemu"))
            << r.err;
        nlohmann::json j = nlohmann::json::parse(r.out, nullptr, false);
        EXPECT_EQ(2, j["status"]) << r.out;
        EXPECT_TRUE(bytes == ReadFile(Image("bare.img")));
    }

    if (geteuid() == 0) {
        std::vector<std::string> argv = {"/usr/bin/unshare", "-m", "/bin/sh", "-c",
            "lib=$(ldconfig -p | awk '/libguestfs[.]so[.]0 /{ print $NF; exit }') && "
            "mount --bind /dev/null \"$lib\" && exec \"$@\"", "sh"};
        argv.insert(argv.end(), g_place.as.begin(), g_place.as.end());
        argv.insert(argv.end(), {g_exe, "--check", Image("bare.img")});
        RunResult r = RunProgram(argv);
        EXPECT_EQ(2, r.exitCode);
        EXPECT_TRUE(Contains(r.err, "libguestfs cannot be loaded (")) << r.err;
        EXPECT_TRUE(Contains(r.err, "Install libguestfs0")) << r.err;
    }

    // Killed while libguestfs starts: its shadow folder goes with it.
    pid_t run = fork();
    if (run == 0) {
        std::vector<std::string> a = g_place.as;
        a.insert(a.end(), {"/usr/bin/env", "TMPDIR=" + g_place.tmp, "LIBGUESTFS_CACHEDIR=/var/tmp", g_exe,
                           "--check", Image("bare.img")});
        std::vector<char *> args;
        for (std::string &s : a)
            args.push_back(&s[0]);
        args.push_back(NULL);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execv(args[0], args.data());
        _exit(127);
    }
    bool made = false;
    for (int i = 0; i < 400 && !made; i++) {
        usleep(25000);
        made = !Leftovers().empty();
    }
    kill(run, SIGKILL);
    waitpid(run, NULL, 0);
    EXPECT_TRUE(made);
    bool gone = false;
    for (int i = 0; i < 200 && !gone; i++) {
        usleep(50000);
        gone = Leftovers().empty();
    }
    EXPECT_TRUE(gone) << *Leftovers().begin();
}

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    // A folder of the group's own that the user nobody may use, when run as
    // root.
    OtherUserFolder place("images");
    if (place.path.empty()) {
        printf("SKIPPED: %s\n", place.why.c_str());
        return 77;
    }
    g_place.folder = place.path;
    g_place.tmp = place.path + "/tmp";
    mkdir(g_place.tmp.c_str(), 0700);
    g_exe = g_place.folder + "/tessaril";
    WriteFile(g_exe, ReadFile(TESSARIL_EXE));
    if (chmod(g_exe.c_str(), 0755) != 0) {
        printf("FAILED: cannot copy %s into %s\n", TESSARIL_EXE, g_place.folder.c_str());
        return 1;
    }
    if (geteuid() == 0) {
        g_place.as = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
        if (chown(g_place.folder.c_str(), 65534, 65534) != 0 || chown(g_place.tmp.c_str(), 65534, 65534) != 0) {
            printf("SKIPPED: cannot give %s to the user nobody\n", g_place.folder.c_str());
            return 77;
        }
    }
    // Without libguestfs (or its appliance) an image is refused with what to
    // install, and the rest cannot run.
    struct stat st;
    if (stat("/usr/bin/guestfish", &st) != 0) {
        WriteFile(Image("plain.img"), std::string(1 << 20, '\0'));
        RunResult r = Tessaril({"--check", Image("plain.img")});
        bool told = r.exitCode == 2 && Contains(r.err, "Install libguestfs0");
        printf("SKIPPED: guestfish (libguestfs-tools) is not installed; an image %s refused with what to install\n",
               told ? "is" : "is NOT");
        return told ? 77 : 1;
    }
    std::string why;
    if (!WriteImages(&why)) {
        printf("SKIPPED: %s\n", why.c_str());
        return 77;
    }
    return RUN_ALL_TESTS();
}

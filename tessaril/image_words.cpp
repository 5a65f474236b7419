// The Linux program's words for a disk image: its opening, the hive put
// back into it, its closing.
#include "tessaril/words.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

namespace {

// The Windows folders an image holds, as "/dev/sda1/WINDOWS, /dev/sda2/WINNT"
// (and how many more).
std::string ImageFolders(const ImageOpenReport &r)
{
    std::string list;
    for (int i = 0; i < r.count && i < kMaxListedFolders; i++)
        list += Text("%s%s/%s", i ? ", " : "", r.found[i].device, r.found[i].folder);
    if (r.count > kMaxListedFolders)
        list += Text(" and %d more", r.count - kMaxListedFolders);
    return list;
}

} // namespace

Message PhraseImageOpening(const ImageOpenReport &r)
{
    Message m;
    const char *image = r.image;
    switch (r.refusal) {
    case kImageOpened:
        if (r.finding == kImageTheOne)
            m.Add(kSayPlain, Text("repairing the installation in %s.", r.shown));
        else if (r.finding == kImageByBootIni)
            m.Add(kSayPlain, Text("%s holds %d Windows folders; boot.ini's default names %s: repairing "
                                  "the installation in %s.",
                                  image, r.count, r.named, r.shown));
        break;
    case kImageNotBuilt:
        m.Add(kSayError, Text("%s is a disk image, and this tessaril was built without disk image "
                              "support (libguestfs's header was missing). Mount the image and name its "
                              "Windows folder instead. Nothing was changed.",
                              image));
        break;
    case kImageNoLibrary:
        m.Add(kSayError, Text("%s is a disk image, which tessaril opens through libguestfs, and "
                              "libguestfs cannot be loaded (%s). Install libguestfs0 and a Linux kernel "
                              "for its appliance (on Debian: apt install libguestfs0 linux-image-amd64), "
                              "or mount the image and name its Windows folder. Nothing was changed.",
                              image, r.detail));
        break;
    case kImageTooSmall:
        m.Add(kSayError, Text("%s is not a folder, and at %lld bytes too small to be a disk image with "
                              "Windows on it. Nothing was changed.",
                              image, r.size));
        break;
    case kImageUnreadable:
        m.Add(kSayError, r.error != 0 ? Text("%s cannot be read, because %s. Nothing was changed.", image,
                                             PlainError(r.error))
                                      : Text("libguestfs cannot open %s as a disk image: %s. Nothing was "
                                             "changed.",
                                             image, r.detail));
        break;
    case kImageNoScratch:
        m.Add(kSayError, Text("no private folder can be made under $TMPDIR (or /tmp) for the copies of "
                              "%s's hives, because %s. Nothing was changed.",
                              image, PlainError(r.error)));
        break;
    case kImageInUse:
        m.Add(kSayError, Text("%s is in use: another process has it open through qemu, such as the "
                              "virtual machine that runs from it or another tessaril run%s%s%s. Shut "
                              "that virtual machine down, or wait for that run to end, then run "
                              "tessaril again. Nothing was changed.",
                              image, r.detail[0] ? " (" : "", r.detail, r.detail[0] ? ")" : ""));
        break;
    case kImageNoAppliance:
        m.Add(kSayError, Text("libguestfs cannot start the small virtual machine it opens %s in: %s. It "
                              "needs a Linux kernel image (on Debian: apt install linux-image-amd64) and "
                              "supermin; libguestfs-test-tool tells what is missing. Nothing was "
                              "changed.",
                              image, r.detail));
        break;
    case kImageNoWindows:
        m.Add(kSayError, Text("no file system of %s holds a Windows folder (a folder at its top level "
                              "with system32/config/system), so it holds no Windows 2000 or XP "
                              "installation. Nothing was changed.",
                              image));
        break;
    case kImageSeveral:
    case kImageNotNamed: {
        std::string what;
        if (r.refusal == kImageNotNamed)
            what = Text("%s holds no Windows folder %s, but %d: %s.", image, r.asked, r.count,
                        ImageFolders(r).c_str());
        else if (r.finding == kImageByName)
            what = Text("%s names more than one of the %d Windows folders of %s: %s.", r.asked, r.count,
                        image, ImageFolders(r).c_str());
        else {
            int named = 0;
            for (int i = 0; i < r.count && i < kMaxListedFolders; i++)
                named += lstrcmpiA(r.found[i].folder, r.named) == 0;
            what = Text("%s holds %d Windows folders: %s (%s).", image, r.count, ImageFolders(r).c_str(),
                        !r.named[0]    ? "no boot.ini default names one of them"
                        : named == 0   ? Text("boot.ini's default names %s, which is none of them", r.named).c_str()
                                       : Text("boot.ini's default names %s, which is more than one of them",
                                              r.named).c_str());
        }
        m.Add(kSayError, what + Text(" Name the one to repair, for example: tessaril --windows=%s/%s %s. "
                                     "Nothing was changed.",
                                     r.found[0].device, r.found[0].folder, image));
        break;
    }
    case kImageNotWritable:
        m.Add(kSayError, Text("the installation in %s:%s/%s is in use or cannot be changed: its file "
                              "system cannot be mounted for writing (%s). A virtual machine may be "
                              "running from the image, or Windows was hibernated or not shut down fully; "
                              "shut it down fully, then run tessaril again. Nothing was changed.",
                              image, r.chosen.device, r.chosen.folder, r.detail));
        break;
    case kImageReadFailed:
        m.Add(kSayError, Text("the installation in %s:%s/%s cannot be read from the image: %s. Nothing "
                              "was changed.",
                              image, r.chosen.device, r.chosen.folder, r.detail));
        break;
    }
    return m;
}

Message PhraseImageSave(const ImageSaveReport &r)
{
    static const char *const kSteps[] = {"", "writing it into the image", "flushing it to the image",
                                         "keeping the old hive beside it", "putting it in place of the hive"};
    static_assert(sizeof kSteps / sizeof *kSteps == kImageSaveSteps, "a step has no words");
    Message m;
    if (r.failed != kImageSaveNoStep)
        m.Add(kSayError, Text("the hive %s was not changed: tessaril wrote the changed hive into a new file "
                              "beside it, and %s failed: %s. None of this run's changes were saved (the "
                              "log lists them as made); mend the cause and run tessaril again.",
                              r.shown, kSteps[r.failed], r.detail));
    else if (r.logFailed)
        m.Add(kSayWarning, Text("the log could not be written into the image: %s.", r.logDetail));
    return m;
}

std::string PhraseImageClosing(const char *image, const char *detail)
{
    return Text("libguestfs could not write %s out when it shut down (%s), so this run's changes may "
                "not have reached it; run tessaril --check on it to see.",
                image, detail);
}

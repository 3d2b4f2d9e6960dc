#pragma once
// The email clients a backup can be made of, each told once: the title the
// settings store, the program the backup quits and starts again, the folders
// of home its data may live in, and the picture beside its title. The
// engine's script, the configurator, the restore and the icon drawer read
// this table; none of them spells a client's facts itself.

#include "Names.h"

#include <array>

class QString;

namespace cv::clients {

struct Client {
    const char *title;   // compared exactly, as stored in the settings
    const char *program; // the application osascript quits and activates
    const char *process; // what the script's `ps ax` looks for while it quits, if not the program
    const char *helper;  // a program quit with it, or none
    // Relative to home: the classic folder first, then this platform's, in
    // order of preference; unused places are null.
    std::array<const char *, 4> folders;
    const char *preferences; // a file backed up beside the data, or none
    const char *icon;        // in the configurator's resources

    constexpr const char *processName() const { return process ? process : program; }
};

namespace detail {
inline constexpr char kEntourage[] = "Microsoft Entourage"; // one program, three titles
inline constexpr char kDatabaseDaemon[] = "Microsoft Database Daemon"; // Office's, shared by its programs
} // namespace detail

// In the order of the client pop-up.
inline constexpr Client kClients[] = {
    {names::kAppleMail, "Mail", "Mail.app/", nullptr, {"/Library/Mail"},
     "/Library/Preferences/com.apple.mail.plist", "mail.png"},
    {names::kOutlook2011, "Microsoft Outlook", nullptr, detail::kDatabaseDaemon,
     {"/Documents/Microsoft User Data/Office 2011 Identities"}, nullptr, "outlook.png"},
    {names::kEntourage2008, detail::kEntourage, nullptr, detail::kDatabaseDaemon,
     {"/Documents/Microsoft User Data/Office 2008 Identities"}, nullptr, "entourage2008.png"},
    {names::kEntourage2004, detail::kEntourage, nullptr, detail::kDatabaseDaemon,
     {"/Documents/Microsoft User Data/Office 2004 Identities"}, nullptr, "entourage2004.png"},
    {names::kEntourageVX, detail::kEntourage, nullptr, detail::kDatabaseDaemon,
     {"/Documents/Microsoft User Data/Office X Identities"}, nullptr, "entourageX.png"},
    // Thunderbird as installed here keeps its profiles in a plain package's,
    // a snap's or a Flatpak's folder.
    {names::kThunderbird, "Thunderbird", nullptr, nullptr,
     {"/Library/Thunderbird", "/.thunderbird", "/snap/thunderbird/common/.thunderbird",
      "/.var/app/org.mozilla.Thunderbird/.thunderbird"},
     nullptr, "thunderbird.png"},
    {names::kEudora6, "Eudora", nullptr, nullptr, {"/Documents/Eudora Folder"}, nullptr, "eudora.png"},
};

// The entry of that title; null for any other.
const Client *find(const QString &title);

} // namespace cv::clients

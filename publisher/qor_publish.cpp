// qor-publish: the command line over Publisher.
#include "publisher/Publisher.h"

#include <charconv>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>

namespace
{
const char* const USAGE =
    "Usage: qor-publish keygen --out KEY_FILE\n"
    "       qor-publish [publish] --repo DIR --product CODE --channel APPLICATION/LANGUAGE\n"
    "                   --version X.Y.Z --key-file KEY_FILE [--key-file KEY_FILE]...\n"
    "                   [--expires-in DAYS] [--notes TEXT | --notes-file FILE] [--replace]\n"
    "                   [--complete] [--keep-versions N] [--delta-from N] [--cache DIR]\n"
    "                   RELEASE_DIR\n"
    "       qor-publish resign --repo DIR --product CODE --channel APPLICATION/LANGUAGE\n"
    "                   --key-file KEY_FILE [--key-file KEY_FILE]... [--expires-in DAYS]\n"
    "       qor-publish prune --repo DIR --product CODE --channel APPLICATION/LANGUAGE\n"
    "                   --key-file KEY_FILE [--key-file KEY_FILE]... --keep-versions N\n"
    "                   [--expires-in DAYS]\n"
    "       qor-publish verify --repo DIR --product CODE --channel APPLICATION/LANGUAGE\n"
    "                   --pin PIN\n"
    "\n"
    "keygen   writes a new Ed25519 private key (mode 0600, never over an existing file)\n"
    "         and prints its pin: the value of Key in the clients' UpdInter.ini.\n"
    "publish  adds the files of RELEASE_DIR as version X.Y.Z (repository format 3):\n"
    "           DIR/CODE/APPLICATION/LANGUAGE/X.Y.Z/files/<files>\n"
    "           DIR/CODE/APPLICATION/LANGUAGE/X.Y.Z/cidx/<files>     chunk indexes\n"
    "           DIR/CODE/APPLICATION/LANGUAGE/X.Y.Z/zst/<files>      compressed objects of\n"
    "                                       large files (1 MiB and more compressed)\n"
    "           DIR/CODE/APPLICATION/LANGUAGE/X.Y.Z/bundle           delta sections, then\n"
    "                                       the compressed objects of small files\n"
    "           DIR/CODE/APPLICATION/LANGUAGE/X.Y.Z/list.json.zst    sizes, SHA-256\n"
    "           DIR/CODE/APPLICATION/LANGUAGE/channel.qor            versions, notes,\n"
    "                                       serial, expiry, one signature per key\n"
    "         --complete: RELEASE_DIR is the whole tree, so clients skip older versions.\n"
    "         --keep-versions N: list only the newest N versions and delete the others.\n"
    "         Every file that shrinks gets a compressed object (zstd, one frame per\n"
    "         chunk); a file that does not is served as it is, or stored in the\n"
    "         bundle when under 64 KiB.\n"
    "         --delta-from N (default 3, 0 to 16; 0: none): for every file that changed,\n"
    "         a binary delta from the same path in each of the N newest earlier versions\n"
    "         (a version without that path: from its file of the same name elsewhere,\n"
    "         else of the same name stem within 4x the size, the closest size first),\n"
    "         the smaller of two methods (patch-from only from a source above 128 MiB),\n"
    "         kept when smaller than the compressed object.\n"
    "         --cache DIR: where deltas are kept between runs, so that republishing never\n"
    "         makes one twice (default $XDG_CACHE_HOME/qor-publish, else\n"
    "         ~/.cache/qor-publish). Files and deltas are made on every core.\n"
    "         An existing channel.qor is only changed when one of the keys signed it.\n"
    "         Sign with the old and the new key while rotating keys.\n"
    "resign   raises the serial, sets a new expiry and signs again; no payload changes.\n"
    "prune    keeps the newest N versions, signs again, then deletes the others' folders.\n"
    "verify   checks the repository as a client pinned to PIN would: signature,\n"
    "         expiry, every file list, file and chunk index; every compressed object\n"
    "         decoded, every delta index and every delta applied to its source.\n"
    "--expires-in takes 1 to 3650 days (default 365). Key files readable by group or\n"
    "others are refused.\n"
    "\n"
    "Exit codes: 0 done, 1 usage, 2 bad input (missing folder, bad name or version,\n"
    "symbolic link in the release, unsafe key file), 3 the repository is not signed by\n"
    "any given key or is in an old format, 4 version already published (use --replace),\n"
    "5 read or write failure, 6 verify found problems.\n";

// A whole positive number in `text`.
bool readCount(const std::string& text, int& out)
{
    const auto [end, problem] = std::from_chars(text.data(), text.data() + text.size(), out);
    return problem == std::errc() && end == text.data() + text.size();
}

bool readFile(const char* path, std::string& text)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
    {
        return false;
    }
    text.clear();
    char buffer[65536];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0)
    {
        text.append(buffer, static_cast<std::size_t>(in.gcount()));
    }
    return !in.bad();
}

int usage(const std::string& problem)
{
    std::cerr << "qor-publish: " << problem << "\n" << USAGE;
    return publisher::EXIT_USAGE;
}
} // namespace

int main(int argc, char** argv)
{
    std::string command = "publish";
    int first = 1;
    if (argc > 1 && std::strncmp(argv[1], "--", 2) != 0 && std::strcmp(argv[1], "-h") != 0)
    {
        const std::string word = argv[1];
        if (word == "keygen" || word == "publish" || word == "resign" || word == "prune" ||
            word == "verify")
        {
            command = word;
            first = 2;
        }
    }
    std::map<std::string, std::string> values;
    std::vector<std::string> keyFiles;
    std::string releaseFolder;
    bool replace = false;
    bool complete = false;
    for (int i = first; i < argc; ++i)
    {
        const std::string option = argv[i];
        if (option == "--help" || option == "-h")
        {
            std::cout << USAGE;
            return publisher::EXIT_OK;
        }
        if (option == "--replace" || option == "--complete")
        {
            (option == "--replace" ? replace : complete) = true;
            continue;
        }
        if (option.rfind("--", 0) != 0)
        {
            if (!releaseFolder.empty() || command != "publish")
            {
                return usage("unexpected argument " + option);
            }
            releaseFolder = option;
            continue;
        }
        if (option == "--key")
        {
            return usage("--key (a shared secret) is gone: make a key pair with keygen and "
                         "publish with --key-file");
        }
        const bool takesValue = option == "--key-file" || option == "--repo" ||
                                option == "--product" || option == "--channel" ||
                                option == "--version" || option == "--notes" ||
                                option == "--notes-file" || option == "--expires-in" ||
                                option == "--pin" || option == "--out" ||
                                option == "--keep-versions" || option == "--delta-from" ||
                                option == "--cache";
        if (!takesValue)
        {
            return usage("unknown option " + option);
        }
        if (i + 1 >= argc)
        {
            return usage(option + " needs a value");
        }
        const std::string value = argv[++i];
        if (option == "--key-file")
        {
            keyFiles.push_back(value);
        }
        else
        {
            values[option] = value;
        }
    }
    publisher::Publisher publisher(std::cout, std::cerr);
    if (command == "keygen")
    {
        if (values.count("--out") == 0)
        {
            return usage("keygen needs --out KEY_FILE");
        }
        return publisher.keygen(values["--out"]);
    }
    publisher::ChannelAddress where{values["--repo"], values["--product"], values["--channel"]};
    if (where.repository.empty() || where.product.empty() || where.channel.empty())
    {
        return usage("--repo, --product and --channel are needed");
    }
    if (command == "verify")
    {
        if (values.count("--pin") == 0)
        {
            return usage("verify needs --pin PIN");
        }
        return publisher.verify(where, values["--pin"]);
    }
    int expiresInDays = 365;
    if (values.count("--expires-in") != 0)
    {
        if (!readCount(values["--expires-in"], expiresInDays))
        {
            return usage("--expires-in takes a number of days");
        }
    }
    int keepVersions = 0;
    if (values.count("--keep-versions") != 0 &&
        (!readCount(values["--keep-versions"], keepVersions) || keepVersions < 1))
    {
        return usage("--keep-versions takes a number of versions (1 or more)");
    }
    int deltaFrom = 3;
    if (values.count("--delta-from") != 0 &&
        (!readCount(values["--delta-from"], deltaFrom) || deltaFrom < 0 ||
         deltaFrom > publisher::MAX_DELTA_SOURCES))
    {
        return usage("--delta-from takes a number of earlier versions (0 to 16)");
    }
    if (command == "prune" && keepVersions == 0)
    {
        return usage("prune needs --keep-versions N");
    }
    if (keyFiles.empty())
    {
        return usage("at least one --key-file is needed");
    }
    std::vector<publisher::SigningKey> keys;
    for (const std::string& file : keyFiles)
    {
        std::string problem;
        std::optional<publisher::SigningKey> key = publisher::SigningKey::load(file, problem);
        if (!key)
        {
            std::cerr << "qor-publish: " << problem << "\n";
            return publisher::EXIT_BAD_INPUT;
        }
        keys.push_back(std::move(*key));
    }
    if (command == "resign")
    {
        return publisher.resign(where, keys, expiresInDays);
    }
    if (command == "prune")
    {
        return publisher.prune(where, keys, static_cast<std::size_t>(keepVersions), expiresInDays);
    }
    publisher::PublishRequest request;
    request.where = where;
    request.version = values["--version"];
    request.keys = std::move(keys);
    request.expiresInDays = expiresInDays;
    request.notes = values["--notes"];
    request.releaseFolder = releaseFolder;
    request.replace = replace;
    request.complete = complete;
    request.keepVersions = static_cast<std::size_t>(keepVersions);
    request.deltaFrom = static_cast<std::size_t>(deltaFrom);
    request.cacheFolder = values["--cache"];
    if (values.count("--notes-file") != 0 &&
        !readFile(values["--notes-file"].c_str(), request.notes))
    {
        std::cerr << "qor-publish: cannot read " << values["--notes-file"] << "\n";
        return publisher::EXIT_BAD_INPUT;
    }
    if (request.version.empty() || request.releaseFolder.empty())
    {
        return usage("publish needs --version and RELEASE_DIR");
    }
    const publisher::ExitCode code = publisher.publish(request);
    if (code == publisher::EXIT_OK)
    {
        std::cout << "Published " << where.product << " " << where.channel << " " << request.version
                  << "\n";
    }
    return code;
}

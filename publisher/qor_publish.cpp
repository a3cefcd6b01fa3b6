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
    "                   RELEASE_DIR\n"
    "       qor-publish resign --repo DIR --product CODE --channel APPLICATION/LANGUAGE\n"
    "                   --key-file KEY_FILE [--key-file KEY_FILE]... [--expires-in DAYS]\n"
    "       qor-publish verify --repo DIR --product CODE --channel APPLICATION/LANGUAGE\n"
    "                   --pin PIN\n"
    "\n"
    "keygen   writes a new Ed25519 private key (mode 0600, never over an existing file)\n"
    "         and prints its pin: the value of Key in the clients' UpdInter.ini.\n"
    "publish  adds the files of RELEASE_DIR as version X.Y.Z:\n"
    "           DIR/CODE/APPLICATION/LANGUAGE/X.Y.Z/<files>\n"
    "           DIR/CODE/APPLICATION/LANGUAGE/manifest.json      sizes, SHA-256, notes,\n"
    "                                                            serial, expiry\n"
    "           DIR/CODE/APPLICATION/LANGUAGE/manifest.json.sig  one signature per key\n"
    "         An existing manifest is only changed when one of the keys signed it.\n"
    "         Sign with the old and the new key while rotating keys.\n"
    "resign   raises the serial, sets a new expiry and signs again; no payload changes.\n"
    "verify   checks the repository as a client pinned to PIN would: signature,\n"
    "         expiry, every file's size and SHA-256; prints what is wrong.\n"
    "--expires-in takes 1 to 3650 days (default 365). Key files readable by group or\n"
    "others are refused.\n"
    "\n"
    "Exit codes: 0 done, 1 usage, 2 bad input (missing folder, bad name or version,\n"
    "symbolic link in the release, unsafe key file), 3 the repository is not signed by\n"
    "any given key, 4 version already published (use --replace), 5 read or write\n"
    "failure, 6 verify found problems.\n";

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
        if (word == "keygen" || word == "publish" || word == "resign" || word == "verify")
        {
            command = word;
            first = 2;
        }
    }
    std::map<std::string, std::string> values;
    std::vector<std::string> keyFiles;
    std::string releaseFolder;
    bool replace = false;
    for (int i = first; i < argc; ++i)
    {
        const std::string option = argv[i];
        if (option == "--help" || option == "-h")
        {
            std::cout << USAGE;
            return publisher::EXIT_OK;
        }
        if (option == "--replace")
        {
            replace = true;
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
                                option == "--pin" || option == "--out";
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
        const std::string& text = values["--expires-in"];
        const auto [end, problem] =
            std::from_chars(text.data(), text.data() + text.size(), expiresInDays);
        if (problem != std::errc() || end != text.data() + text.size())
        {
            return usage("--expires-in takes a number of days");
        }
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
    publisher::PublishRequest request;
    request.where = where;
    request.version = values["--version"];
    request.keys = std::move(keys);
    request.expiresInDays = expiresInDays;
    request.notes = values["--notes"];
    request.releaseFolder = releaseFolder;
    request.replace = replace;
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

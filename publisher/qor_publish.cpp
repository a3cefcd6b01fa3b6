// qor-publish: the command line over Publisher.
#include "publisher/Publisher.h"

#include <cstring>
#include <fstream>
#include <iostream>

namespace
{
const char* const USAGE =
    "Usage: qor-publish --repo DIR --product CODE --channel APPLICATION/LANGUAGE\n"
    "                   --version X.Y.Z (--key KEY | --key-file FILE)\n"
    "                   [--notes TEXT | --notes-file FILE] [--replace] RELEASE_DIR\n"
    "\n"
    "Adds the files of RELEASE_DIR as version X.Y.Z to the update repository DIR:\n"
    "  DIR/CODE/APPLICATION/LANGUAGE/X.Y.Z/<files>\n"
    "  DIR/CODE/APPLICATION/LANGUAGE/manifest.json      sizes, SHA-256, notes\n"
    "  DIR/CODE/APPLICATION/LANGUAGE/manifest.json.sig  HMAC-SHA256 with KEY\n"
    "An existing repository is only changed when its signature verifies with KEY.\n"
    "\n"
    "Exit codes: 0 published, 1 usage, 2 bad input (missing folder, bad name or\n"
    "version, symbolic link in the release), 3 key does not match the repository,\n"
    "4 version already published (use --replace), 5 read or write failure.\n";

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
} // namespace

int main(int argc, char** argv)
{
    publisher::PublishRequest request;
    bool haveKey = false;
    for (int i = 1; i < argc; ++i)
    {
        const std::string option = argv[i];
        const bool hasValue = i + 1 < argc;
        if (option == "--help" || option == "-h")
        {
            std::cout << USAGE;
            return publisher::EXIT_OK;
        }
        if (option == "--replace")
        {
            request.replace = true;
            continue;
        }
        if (option.rfind("--", 0) != 0)
        {
            if (!request.releaseFolder.empty())
            {
                std::cerr << "qor-publish: only one release folder\n" << USAGE;
                return publisher::EXIT_USAGE;
            }
            request.releaseFolder = option;
            continue;
        }
        if (!hasValue)
        {
            std::cerr << "qor-publish: " << option << " needs a value\n" << USAGE;
            return publisher::EXIT_USAGE;
        }
        const char* value = argv[++i];
        if (option == "--repo")
            request.repository = value;
        else if (option == "--product")
            request.product = value;
        else if (option == "--channel")
            request.channel = value;
        else if (option == "--version")
            request.version = value;
        else if (option == "--notes")
            request.notes = value;
        else if (option == "--key")
        {
            request.key = value;
            haveKey = true;
        }
        else if (option == "--key-file" || option == "--notes-file")
        {
            std::string text;
            if (!readFile(value, text))
            {
                std::cerr << "qor-publish: cannot read " << value << "\n";
                return publisher::EXIT_BAD_INPUT;
            }
            if (option == "--key-file")
            {
                // a key file usually ends with a newline that is not part of the key
                while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
                {
                    text.pop_back();
                }
                request.key = text;
                haveKey = true;
            }
            else
            {
                request.notes = text;
            }
        }
        else
        {
            std::cerr << "qor-publish: unknown option " << option << "\n" << USAGE;
            return publisher::EXIT_USAGE;
        }
    }
    if (request.repository.empty() || request.product.empty() || request.channel.empty() ||
        request.version.empty() || !haveKey || request.releaseFolder.empty())
    {
        std::cerr << USAGE;
        return publisher::EXIT_USAGE;
    }
    publisher::Publisher publisher(std::cerr);
    const publisher::ExitCode code = publisher.publish(request);
    if (code == publisher::EXIT_OK)
    {
        std::cout << "Published " << request.product << " " << request.channel << " "
                  << request.version << "\n";
    }
    return code;
}

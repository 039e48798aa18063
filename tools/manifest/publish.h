// `tarvik-manifest publish`: one command that puts a release on the site
// in the safe order, never changes a published URL, waits until every
// address serves the release, and puts the last release back when the new
// one does not go live.
#pragma once

#include <string>
#include <vector>

#include "live.h"

struct PublishOptions {
    std::string manifest;      // the new release's manifest
    std::string setup;         // its setup program
    std::vector<std::string> upload; // the publisher's upload command, split into words
    bool dry_run = false;      // check and plan, upload nothing
    LiveOptions live;          // addresses, --cacert, publisher, bootstrapper, wait, json
};

// The exit codes of publish.
enum PublishResult {
    PUBLISH_LIVE = 0,           // the release is live on every address
    PUBLISH_NOT_LIVE = 1,       // it is not, and the site serves what it served before
    PUBLISH_NEEDS_A_PERSON = 3, // the site may serve a release that does not pass
};

// Splits `command` into words as a POSIX shell splits one simple command:
// blanks separate words; single quotes keep what they hold; double quotes
// too, but for a backslash before $ ` " \ or a line end; outside quotes a
// backslash quotes the next character, and a backslash before a line end
// joins the lines. There are no expansions, so what a shell would read
// otherwise is refused unless quoted: $ ` | & ; < > ( ) * ? [, and # or ~
// at the start of a word. Returns "", or what is wrong.
std::string split_command(const std::string &command, std::vector<std::string> *words);

// Publishes the release. Standard output holds the report (or, with
// options.live.json, one JSON object); the upload command's own output
// goes to standard error.
PublishResult command_publish(const PublishOptions &options);

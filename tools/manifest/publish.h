// `tarvik-manifest publish`: one command that puts a release on the site
// in the safe order, never changes a published URL, waits until every
// address serves the release, and puts the last release back when the new
// one does not go live. It keeps a journal beside the manifest, so that a
// run that was killed, or that ended badly, is finished or undone by the
// next run of the same command.
#pragma once

#include <string>
#include <vector>

#include "command.h"
#include "live.h"

struct PublishOptions {
    std::string manifest;      // the new release's manifest
    std::string setup;         // its setup program
    Command upload;            // the publisher's upload command
    Command purge;             // the command that drops a path from the CDN's caches; no words
                               // for none
    std::vector<long> absent_statuses; // what the site answers for a file it does not have,
                                       // beside 404 and 410
    bool dry_run = false;      // check and plan, upload and write nothing
    LiveOptions live;          // addresses, --cacert, publisher, bootstrapper, wait, json
};

// The exit codes of publish.
enum PublishResult {
    // The release is live on every address.
    PUBLISH_LIVE = 0,
    // The release is not live, and every address serves the rollback point
    // (the last release that was live) as before the run: either the run
    // ended before its manifest upload (adding at most the new setup
    // program, at a URL that no manifest names), or it put the rollback
    // point back and verified it on every address as live --expect does,
    // or it uploaded nothing, having found this release published already.
    PUBLISH_NOT_LIVE = 1,
    // The site may serve a release that does not pass: the rollback failed,
    // could not be verified, or there was none.
    PUBLISH_NEEDS_A_PERSON = 3,
};

// Publishes the release. Standard output holds the report (or, with
// options.live.json, one JSON object); the upload command's own output
// goes to standard error.
PublishResult command_publish(const PublishOptions &options);

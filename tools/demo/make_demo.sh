#!/usr/bin/env bash
# Makes the demo's package and the catalogue that lists it:
#   OUT/demo.sh.7z     the demo component packed with 7z
#   OUT/catalogue.json one application "demo" with the component "demo-clock"
#                      1.0.0, fetched over HTTP from the strategy server that serves the catalogue (@SERVER@)
# Usage: make_demo.sh SOURCE_DIR OUT_DIR
set -euo pipefail
src=$1
out=$2
mkdir -p "$out"
out=$(cd "$out" && pwd)
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cp "$src/demo.sh" "$stage/demo.sh"
chmod 0755 "$stage/demo.sh"
rm -f "$out/demo.sh.7z"
(cd "$stage" && 7z a -t7z "$out/demo.sh.7z" demo.sh >/dev/null)
package_hash=$(sha256sum "$out/demo.sh.7z" | cut -d' ' -f1)
package_size=$(stat -c %s "$out/demo.sh.7z")
file_hash=$(sha256sum "$stage/demo.sh" | cut -d' ' -f1)
cat > "$out/catalogue.json.tmp" <<JSON
[{"code": "demo", "name": "Demo", "description": "The demo application",
  "components": [{"libraryId": "demo-clock", "name": "Demo clock",
    "description": "Says it is alive every 5 seconds",
    "version": {"version": "1.0.0", "manifest": {
      "loadMode": 2, "runMode": 3, "entryPoint": "demo.sh", "updateTime": 1,
      "execParams": {"pgroup": "demo"},
      "resources": [{"name": "demo.sh.7z", "path": "@SERVER@/files/demo.sh.7z",
                     "size": $package_size, "hash": "$package_hash",
                     "originalHash": "$file_hash", "directory": ""}]}}}]}]
JSON
mv "$out/catalogue.json.tmp" "$out/catalogue.json"

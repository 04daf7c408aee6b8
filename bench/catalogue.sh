# Sourced by the benchmark scripts: makes component packages and the
# catalogue that the strategy server (zev-strategy-server) serves.
#   package_component DIR APP ID VERSION ENTRY_FILE [RUN_MODE]
#     packs ENTRY_FILE with 7z (stored, not compressed) into
#     DIR/ID-VERSION-NAME.7z (NAME: ENTRY_FILE's name) and appends the application entry that lists it to
#     DIR/entries (RUN_MODE: 2 service, 3 application, the default).
#   write_catalogue DIR
#     writes DIR/catalogue.json from DIR/entries (written aside, then renamed)
#     and empties DIR/entries.
#   start_strategy_server DIR
#     serves DIR/catalogue.json and DIR's packages; sets $server_pid and
#     $server_url (stop it with kill $server_pid).
package_component() {
  local dir=$1 app=$2 id=$3 version=$4 entry=$5 mode=${6:-3}
  local stage name package
  stage=$(mktemp -d)
  name=$(basename "$entry")
  # The unpacked file is looked for under the resource's name less ".7z";
  # the server's file name tells the versions apart.
  package="$name.7z"
  local served="$id-$version-$package"
  cp "$entry" "$stage/$name"
  chmod 0755 "$stage/$name"
  rm -f "$dir/$served"
  (cd "$stage" && 7z a -t7z -mx0 "$dir/$served" "$name" >/dev/null)
  local package_hash package_size file_hash
  package_hash=$(sha256sum "$dir/$served" | cut -d' ' -f1)
  package_size=$(stat -c %s "$dir/$served")
  file_hash=$(sha256sum "$stage/$name" | cut -d' ' -f1)
  rm -rf "$stage"
  # One application a line.
  printf '%s\n' "{\"code\": \"$app\", \"name\": \"$app\", \"description\": \"benchmark\", \
\"components\": [{\"libraryId\": \"$id\", \"name\": \"$id\", \"description\": \"benchmark\", \
\"version\": {\"version\": \"$version\", \"manifest\": {\
\"loadMode\": 2, \"runMode\": $mode, \"entryPoint\": \"$name\", \"updateTime\": 1, \
\"execParams\": {\"pgroup\": \"$id\"}, \
\"resources\": [{\"name\": \"$package\", \"path\": \"@SERVER@/files/$served\", \
\"size\": $package_size, \"hash\": \"$package_hash\", \
\"originalHash\": \"$file_hash\", \"directory\": \"\"}]}}}]}" >> "$dir/entries"
}

write_catalogue() {
  local dir=$1
  { echo "["; paste -sd, "$dir/entries"; echo "]"; } > "$dir/catalogue.json.tmp"
  mv "$dir/catalogue.json.tmp" "$dir/catalogue.json"
  : > "$dir/entries"
}

start_strategy_server() {
  local dir=$1
  [ -f "$dir/catalogue.json" ] || echo "[]" > "$dir/catalogue.json"
  "$build/tools/strategy_server/zev-strategy-server" --listen 127.0.0.1:0 --catalogue "$dir/catalogue.json" \
    > "$dir/server.port" &
  server_pid=$!
  local port=""
  for _ in $(seq 100); do
    port=$(head -n1 "$dir/server.port" 2>/dev/null || true)
    [ -n "$port" ] && break
    sleep 0.1
  done
  [ -n "$port" ] || { echo "the strategy server did not start"; exit 1; }
  server_url="http://127.0.0.1:$port"
}

# The settings the service reads at its start, in its registry store.
zev_settings='Software\Classes\CLSID\{8A9C633D-908A-43FD-AEB8-5B821A0A2ED4}'

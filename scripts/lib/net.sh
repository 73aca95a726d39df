# shellcheck shell=bash
# Steps that fetch from a Debian mirror (apt-get, debootstrap, apt-helper),
# shared by scripts/setup.sh and tests/run32/run32.sh. Sourced, not run.
#
# A mirror caught mid-sync (an index whose size or hash does not match its
# Release file, a package file already gone from the pool), a dropped
# connection or a failed name lookup usually passes within minutes, so a step
# that failed to fetch is tried again after a pause. A step that failed for
# another reason is not: trying again would only repeat it.
#
# SEARCHKEY_NET_TRIES (default 4) and SEARCHKEY_NET_PAUSE (seconds before the
# second try, default 30, doubled before each further one) set the patience.

# The script's name on the notes, and what the user can do when the mirror
# stays broken; set by the caller.
net_who=net
net_todo="try again later"
# Where the notes on a retry also go, besides stderr: a file descriptor, when
# stderr is a log nobody watches.
net_tell_fd=

# The first failed fetch in the output file $1, as 'WHAT from MIRROR:
# "ANSWER"', or nothing when the output shows none.
net_fetch_failure() {
  local line url answer
  line=$(grep -m1 -E "^[EW]: (Failed to fetch |Couldn't download|Failed getting release|Invalid Release file|Couldn't retrieve)|^W: [^ ]+ was corrupt$" "$1") ||
    return 0
  if [[ $line =~ Failed\ to\ fetch\ ([^ ]+)\ +(.*) ]]; then
    url=${BASH_REMATCH[1]}
    answer=${BASH_REMATCH[2]}
  else # debootstrap names the file inside its message
    url=$(grep -o -m1 -E 'https?://[^ ]+' <<<"$line") || true
    answer=${line#?: }
    if [ -n "$url" ]; then
      answer=${answer/"$url"/}
      answer=${answer# }
      answer=${answer% }
    fi
  fi
  answer=\"${answer% \[IP: *}\"
  if [[ $url =~ ^(.*)/dists/([^/]+)/(.*)$ ]]; then
    echo "${BASH_REMATCH[2]} (${BASH_REMATCH[3]%%/by-hash/*}) from ${BASH_REMATCH[1]}: $answer"
  elif [[ $url =~ ^(.*)/pool/.*/([^/]+)$ ]]; then
    echo "${BASH_REMATCH[2]} from ${BASH_REMATCH[1]}: $answer"
  else
    echo "from ${url:-the mirror}: $answer"
  fi
}

# net_step LABEL COMMAND [ARG...]
# Runs COMMAND, a program or a shell function (which runs with errexit off,
# so chain its commands with &&), showing its output. Returns 0 when it
# succeeds. Otherwise sets net_cause to one line that names the step, the
# mirror's answer and what to do, and returns 1.
net_step() {
  local label=$1
  shift
  local tries=${SEARCHKEY_NET_TRIES:-4} pause=${SEARCHKEY_NET_PAUSE:-30}
  local try=1 start=$SECONDS out rc fetch note
  out=$(mktemp)
  while :; do
    { "$@" 2>&1 | tee "$out"; rc=${PIPESTATUS[0]}; } || true
    [ "$rc" -ne 0 ] || break
    fetch=$(net_fetch_failure "$out")
    if [ -z "$fetch" ]; then
      net_cause="$label stopped (exit $rc): $(grep '^E: ' "$out" | tail -1 || true)"
      net_cause="${net_cause%: }; the output above says why"
      break
    fi
    if [ "$try" -ge "$tries" ]; then
      net_cause="$label could not fetch $fetch, on $tries tries over $((SECONDS - start)) s; $net_todo"
      break
    fi
    try=$((try + 1))
    note="$net_who: $label could not fetch $fetch; trying again in $pause s (try $try of $tries)"
    echo "$note" >&2
    [ -z "$net_tell_fd" ] || echo "$note" >&"$net_tell_fd"
    sleep "$pause"
    pause=$((pause * 2))
  done
  rm -f "$out"
  return $((rc != 0))
}

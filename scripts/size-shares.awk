# Reads a GNU ld link map and prints how many bytes of the program's loaded
# sections each kind of input contributes: the agent's own code, libpcap, the
# C library (start files included), the compiler's runtime (libgcc, crtbegin
# and crtend), and the tables the linker makes (GOT, dynamic symbols).
#   awk -f scripts/size-shares.awk rfprobe-agent.map
function hex(s,   i, v) {
  v = 0; s = tolower(substr(s, 3))
  for (i = 1; i <= length(s); i++) v = v * 16 + index("0123456789abcdef", substr(s, i, 1)) - 1
  return v
}
/^Linker script and memory map/ { on = 1; next }
!on { next }
/^\.[^ \t]/ {
  out = $1
  keep = (out !~ /^\.(bss|sbss|tbss|comment|debug|pdr|mdebug|gnu\.attributes|symtab|strtab|shstrtab|stab|MIPS\.abiflags$|note\.GNU-stack)/)
  next
}
/^ \.[^ \t]*$/ { pend = 1; next }
{
  if (keep && ((pend && NF == 3 && $1 ~ /^0x/ && $2 ~ /^0x/) ||
               (NF == 4 && $1 ~ /^\./ && $2 ~ /^0x/ && $3 ~ /^0x/))) {
    size = hex(NF == 3 ? $2 : $3); file = $NF
    if (out ~ /^\.(interp|dynamic|hash|gnu\.hash|dynsym|dynstr|gnu\.version.*|rel\.dyn|rel\.plt|got|got\.plt|plt|MIPS\.stubs|rld_map)$/) k = "linker tables"
    else if (file ~ /libpcap/) k = "libpcap"
    else if (file ~ /(^|\/)(libc|libpthread|libm|libc_nonshared|libglibcxx-compat)\.a\(|(^|\/)S?crt[1in]\.o$/) k = "C library"
    else if (file ~ /libgcc|crtbegin|crtend/) k = "compiler runtime"
    else if (file ~ /librfprobe|\.cpp\.o$/) k = "own code"
    else k = "other"
    sum[k] += size; total += size
  }
  pend = 0
}
END {
  n = split("own code,libpcap,C library,compiler runtime,linker tables,other", order, ",")
  line = ""
  for (i = 1; i <= n; i++)
    if (sum[order[i]] > 0)
      line = line (line == "" ? "" : ", ") sprintf("%s %d (%.1f%%)", order[i], sum[order[i]], 100 * sum[order[i]] / total)
  print line
}

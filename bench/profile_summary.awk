# Sums `perf script -F comm,pid,ip,sym,dso` output (with call chains) per
# process and per kind of work. Prints one line per process and kind:
#   <pid> <order of first sample> <last comm> <kind> <samples>
# Kinds: the leaf frame decides user or kernel; kernel samples are sorted by
# the call chain (the first matching rule, in the order below, wins).
function kernel_kind(chain) {
    if (chain ~ / (anon_pipe_write|anon_pipe_read|pipe_write|pipe_read|unix_stream_[a-z_]*|sock_[a-z_]*|ep_poll|do_epoll_wait|futex_[a-z_]*) /) return "k:wineserver-ipc"
    if (chain ~ / (shmem_file_write_iter|ext4_file_write_iter|ext4_buffered_write_iter|generic_perform_write) /) return "k:file-write"
    if (chain ~ / (filemap_read|shmem_file_read_iter|ext4_file_read_iter) /) return "k:file-read"
    if (chain ~ / (exc_page_fault) /) return "k:page-fault"
    if (chain ~ / (do_unlinkat|do_rmdir|vfs_unlink|vfs_rmdir|shmem_unlink|ext4_unlink|ext4_rmdir) /) return "k:delete"
    if (chain ~ / (path_openat|do_sys_openat2|do_mkdirat|vfs_mkdir|iterate_dir|path_lookupat|filename_lookup|vfs_statx|do_renameat2) /) return "k:open-mkdir-stat"
    if (chain ~ / (__x64_sys_munmap|__vm_munmap|exit_mmap|do_exit|do_group_exit|unmap_region|vms_complete_munmap_vmas) /) return "k:unmap-exit"
    if (chain ~ / (do_mmap|__x64_sys_mmap|__x64_sys_mprotect|do_mprotect_pkey|__x64_sys_madvise) /) return "k:mmap"
    if (chain ~ / (execve|load_elf_binary|begin_new_exec|copy_process|kernel_clone) /) return "k:exec-fork"
    if (chain ~ / (schedule|__schedule|finish_task_switch[a-z._0-9]*) /) return "k:scheduling"
    return "k:other"
}
function user_kind(dso, address) {
    if (dso ~ /msvcrt/) return "u:msvcrt"
    if (dso ~ /\.exe$/) return "u:executable"
    if (dso ~ /\/wine\//) return "u:wine-dlls"
    if (dso ~ /\.dll$/) return "u:app-dlls"
    if (dso ~ /wineserver/) return "u:wineserver"
    if (dso ~ /libc\.so|ld-linux/) return "u:libc-loader"
    if (dso ~ /^\[unknown\]$|JIT|anon|perf-[0-9]+\.map/) return "u:anonymous-code"
    return "u:other"
}
function flush() {
    if (pid == "") return
    if (!(pid in order)) order[pid] = ++processes
    last_comm[pid] = comm
    kind = leaf_kernel ? kernel_kind(chain " ") : user_kind(leaf_dso, leaf_address)
    count[pid SUBSEP kind]++
    pid = ""
}
/^[^ \t]/ {
    flush()
    # "<comm possibly with blanks> <pid>"
    pid = $NF
    comm = $1
    for (i = 2; i < NF; i++) comm = comm "_" $i
    chain = ""
    leaf_dso = ""
    frames = 0
    next
}
/^[ \t]+[0-9a-f]+ / {
    frames++
    dso = $NF
    gsub(/[()]/, "", dso)
    if (frames == 1) {
        leaf_dso = dso
        leaf_address = $1
        leaf_kernel = dso == "[kernel.kallsyms]"
    }
    if (dso == "[kernel.kallsyms]") {
        symbol = $2
        sub(/\+0x[0-9a-f]+$/, "", symbol)
        chain = chain " " symbol
    }
    next
}
/^$/ { flush() }
END {
    flush()
    for (key in count) {
        split(key, parts, SUBSEP)
        print parts[1], order[parts[1]], last_comm[parts[1]], parts[2], count[key]
    }
}

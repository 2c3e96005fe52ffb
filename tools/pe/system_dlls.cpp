#include "system_dlls.h"

#include <algorithm>
#include <iterator>

namespace {

// Sorted (binary search), lower case. Some came later than Windows 7
// (shcore, combase, d3d12, xaudio2_9) or with its updates (ucrtbase); they
// are listed all the same, since a program that imports them already asks
// for such a system. Left out on purpose: what only a redistributable
// installs (vcruntime140, msvcp140, msvcr100, d3dx9_43, xinput1_3).
const char *const system_dll_names[] = {
    "activeds.dll", "advapi32.dll", "advpack.dll", "authz.dll", "avicap32.dll", "avifil32.dll",
    "avrt.dll", "bcrypt.dll", "bcryptprimitives.dll", "cabinet.dll", "cfgmgr32.dll", "clbcatq.dll",
    "combase.dll", "comctl32.dll", "comdlg32.dll", "credui.dll", "crypt32.dll", "cryptbase.dll",
    "cryptnet.dll", "cryptui.dll", "d2d1.dll", "d3d10.dll", "d3d10_1.dll", "d3d11.dll", "d3d12.dll",
    "d3d8.dll", "d3d9.dll", "d3dcompiler_47.dll", "davclnt.dll", "dbgeng.dll", "dbghelp.dll",
    "dcomp.dll", "ddraw.dll", "devobj.dll", "dhcpcsvc.dll", "dinput.dll", "dinput8.dll",
    "dnsapi.dll", "dsound.dll", "dwmapi.dll", "dwrite.dll", "dxgi.dll", "dxva2.dll", "esent.dll",
    "evr.dll", "fltlib.dll", "gdi32.dll", "gdiplus.dll", "glu32.dll", "hid.dll", "httpapi.dll",
    "icm32.dll", "imagehlp.dll", "imm32.dll", "iphlpapi.dll", "kernel32.dll", "kernelbase.dll",
    "ksuser.dll", "ktmw32.dll", "linkinfo.dll", "logoncli.dll", "mf.dll", "mfc42.dll", "mfc42u.dll",
    "mfplat.dll", "mfplay.dll", "mfreadwrite.dll", "mgmtapi.dll", "mlang.dll", "mmdevapi.dll",
    "mpr.dll", "msacm32.dll", "mscms.dll", "mscoree.dll", "msctf.dll", "msdmo.dll", "msi.dll",
    "msimg32.dll", "mspatcha.dll", "msvcp60.dll", "msvcrt.dll", "msvfw32.dll", "mswsock.dll",
    "ncrypt.dll", "netapi32.dll", "netutils.dll", "newdev.dll", "normaliz.dll", "nsi.dll",
    "ntdll.dll", "ntdsapi.dll", "ntmarta.dll", "odbc32.dll", "ole32.dll", "oleacc.dll",
    "oleaut32.dll", "oledlg.dll", "opengl32.dll", "pdh.dll", "powrprof.dll", "profapi.dll",
    "propsys.dll", "psapi.dll", "quartz.dll", "rasapi32.dll", "rasdlg.dll", "resutils.dll",
    "rpcrt4.dll", "rstrtmgr.dll", "samcli.dll", "sechost.dll", "secur32.dll", "sensapi.dll",
    "setupapi.dll", "sfc.dll", "shcore.dll", "shell32.dll", "shfolder.dll", "shlwapi.dll",
    "slc.dll", "snmpapi.dll", "spoolss.dll", "srvcli.dll", "sspicli.dll", "sxs.dll", "t2embed.dll",
    "tapi32.dll", "tdh.dll", "ucrtbase.dll", "urlmon.dll", "user32.dll", "userenv.dll", "usp10.dll",
    "uxtheme.dll", "version.dll", "virtdisk.dll", "wevtapi.dll", "windowscodecs.dll", "winhttp.dll",
    "wininet.dll", "winmm.dll", "winscard.dll", "winspool.drv", "wintrust.dll", "winusb.dll",
    "wkscli.dll", "wlanapi.dll", "wldap32.dll", "wmi.dll", "ws2_32.dll", "wsock32.dll",
    "wtsapi32.dll", "xaudio2_8.dll", "xaudio2_9.dll", "xinput1_4.dll", "xinput9_1_0.dll",
    "xmllite.dll",
};

// API sets: the loader maps every such name to a real system DLL.
const char *const system_prefixes[] = {"api-ms-win-", "ext-ms-win-"};

} // namespace

std::string ascii_lower(std::string text)
{
    for (char &c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

bool is_system_dll(const std::string &name)
{
    const std::string lower = ascii_lower(name);
    for (const char *prefix : system_prefixes)
        if (lower.rfind(prefix, 0) == 0)
            return true;
    return std::binary_search(std::begin(system_dll_names), std::end(system_dll_names), lower,
                              [](const std::string &a, const std::string &b) { return a < b; });
}

#include "http/mime_table.h"

#include "platform/text.h"

#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <strings.h>
#include <unordered_map>

namespace tvn {
namespace {

struct MimeRow {
    const char* extension;
    const char* type;
};

// The built-in table; the first row whose extension matches wins.
constexpr MimeRow kMimeTable[] = {
    // ".ez," with its comma: a file "a.ez" has no type of
    // its own here (the system's table may know it), and "a.EZ," is an andrew-inset.
    {".ez,", "application/andrew-inset"},
    {".bps", "application/bulletproof-session-file"},
    {".fif", "application/fractals"},
    {".spl", "application/futuresplash"},
    {".hta", "application/hta"},
    {".hqx", "application/mac-binhex40"},
    {".cpt", "application/mac-compactpro"},
    {".mdb", "application/msaccess"},
    {".doc", "application/msword"},
    {".rtf", "application/msword"},
    {".dot", "application/msword"},
    {".wiz", "application/msword"},
    {".oda", "application/oda"},
    {".pdf", "application/pdf"},
    {".prf", "application/pics-rules"},
    {".p10", "application/pkcs10"},
    {".p7m", "application/pkcs7-mime"},
    {".p7c", "application/pkcs7-mime"},
    {".p7s", "application/pkcs7-signature"},
    {".cer", "application/pkix-cert"},
    {".der", "application/pkix-cert"},
    {".crt", "application/pkix-cert"},
    {".crl", "application/pkix-crl"},
    {".ps", "application/postscript"},
    {".ai", "application/postscript"},
    {".eps", "application/postscript"},
    {".smi", "application/smil"},
    {".xfdf", "application/vnd.adobe.xfdf"},
    {".fdf", "application/vnd.fdf"},
    {".mif", "application/vnd.mif"},
    {".cil", "application/vnd.ms-artgalry"},
    {".xls", "application/vnd.ms-excel"},
    {".sst", "application/vnd.ms-pki.certstore"},
    {".pko", "application/vnd.ms-pki.pko"},
    {".cat", "application/vnd.ms-pki.seccat"},
    {".stl", "application/vnd.ms-pki.stl"},
    {".pot", "application/vnd.ms-powerpoint"},
    {".pwz", "application/vnd.ms-powerpoint"},
    {".ppt", "application/vnd.ms-powerpoint"},
    {".ppa", "application/vnd.ms-powerpoint"},
    {".pps", "application/vnd.ms-powerpoint"},
    {".wbxml", "application/vnd.wap.wbxml"},
    {".wmlc", "application/vnd.wap.wmlc"},
    {".wmlsc", "application/vnd.wap.wmlscriptc"},
    {".aim", "application/x-aim"},
    {".bcpio", "application/x-bcpio"},
    {".cdf", "application/x-cdf"},
    {".vcd", "application/x-cdlink"},
    {".pgn", "application/x-chess-pgn"},
    {".z", "application/x-compress"},
    {".tgz", "application/x-compressed"},
    {".cpio", "application/x-cpio"},
    {".csh", "application/x-csh"},
    {".dir", "application/x-director"},
    {".dcr", "application/x-director"},
    {".dxr", "application/x-director"},
    {".dvi", "application/x-dvi"},
    {".gtar", "application/x-gtar"},
    {".gz", "application/x-gzip"},
    {".hdf", "application/x-hdf"},
    {".isp", "application/x-internet-signup"},
    {".ins", "application/x-internet-signup"},
    {".iii", "application/x-iphone"},
    {".js", "application/x-javascript"},
    {".skm", "application/x-koan"},
    {".latex", "application/x-latex"},
    {".mmz", "application/x-mmjb-mmz"},
    {".exe", "application/x-msdownload"},
    {".cab", "application/x-msdownload"},
    {".dll", "application/x-msdownload"},
    {".p12", "application/x-pkcs12"},
    {".pfx", "application/x-pkcs12"},
    {".spc", "application/x-pkcs7-certificates"},
    {".p7b", "application/x-pkcs7-certificates"},
    {".p7r", "application/x-pkcs7-certreqresp"},
    {".qtl", "application/x-quicktimeplayer"},
    {".sh", "application/x-sh"},
    {".shar", "application/x-shar"},
    {".swf", "application/x-shockwave-flash"},
    {".sit", "application/x-stuffit"},
    {".sv4cpio", "application/x-sv4cpio"},
    {".sv4crc", "application/x-sv4crc"},
    {".tar", "application/x-tar"},
    {".tcl", "application/x-tcl"},
    {".texi", "application/x-texinfo"},
    {".tr", "application/x-troff"},
    {".man", "application/x-troff-man"},
    {".me", "application/x-troff-me"},
    {".ms", "application/x-troff-ms"},
    {".ustar", "application/x-ustar"},
    {".src", "application/x-wais-source"},
    {".zip", "application/x-zip-compressed"},
    {".aifc", "audio/aiff"},
    {".aif", "audio/aiff"},
    {".aiff", "audio/aiff"},
    {".snd", "audio/basic"},
    {".au", "audio/basic"},
    {".mid", "audio/mid"},
    {".rmi", "audio/mid"},
    {".midi", "audio/mid"},
    {".mpa", "audio/mpeg"},
    {".mp1", "audio/mpeg"},
    {".mp3", "audio/mpeg"},
    {".mpga", "audio/mpeg"},
    {".mp2", "audio/mpeg"},
    {".m3u", "audio/mpegurl"},
    {".xpl", "audio/mpegurl"},
    {".pls", "audio/scpls"},
    {".wav", "audio/wav"},
    {".wax", "audio/x-ms-wax"},
    {".wma", "audio/x-ms-wma"},
    {".rmm", "audio/x-pn-realaudio"},
    {".ra", "audio/x-pn-realaudio"},
    {".rm", "audio/x-pn-realaudio"},
    {".ram", "audio/x-pn-realaudio"},
    {".rpm", "audio/x-pn-realaudio-plugin"},
    {".pdb", "chemical/x-pdb"},
    {".xyz", "chemical/x-xyz"},
    {".bmp", "image/bmp"},
    {".dib", "image/bmp"},
    {".cur", "image/cursor"},
    {".gif", "image/gif"},
    {".ief", "image/ief"},
    {".jbr", "image/jbr"},
    {".jgd", "image/jgd"},
    {".jpeg", "image/jpeg"},
    {".jpe", "image/jpeg"},
    {".jpg", "image/jpg"},
    {".jsl", "image/jsl"},
    {".pal", "image/pal"},
    {".pfr", "image/pfr"},
    {".jfif", "image/pjpeg"},
    {".png", "image/png"},
    {".sld", "image/sld"},
    {".svgz", "image/svg-xml"},
    {".svg", "image/svg-xml"},
    {".tex", "image/tex"},
    {".tif", "image/tiff"},
    {".raw", "image/tiff"},
    {".tiff", "image/tiff"},
    {".psd", "image/tiff"},
    {".tub", "image/tub"},
    {".wbmp", "image/vnd.wap.wbmp"},
    {".ras", "image/x-cmu-raster"},
    {".ico", "image/x-icon"},
    {".art", "image/x-jg"},
    {".pnm", "image/x-portable-anymap"},
    {".pbm", "image/x-portable-bitmap"},
    {".pgm", "image/x-portable-graymap"},
    {".ppm", "image/x-portable-pixmap"},
    {".rgb", "image/x-rgb"},
    {".xbm", "image/x-xbitmap"},
    {".xpm", "image/x-xpixmap"},
    {".xwd", "image/x-xwindowdump"},
    {".nws", "message/rfc822"},
    {".mht", "message/rfc822"},
    {".mhtml", "message/rfc822"},
    {".iges", "model/iges"},
    {".silo", "model/mesh"},
    {".vrml", "model/vrml"},
    {".css", "text/css"},
    {".htm", "text/html"},
    {".html", "text/html"},
    {".ph", "text/perl"},
    {".pm", "text/perl"},
    {".mdef", "text/perl"},
    {".sub", "text/perl"},
    {".exc", "text/plain"},
    {".old", "text/plain"},
    {".asc", "text/plain"},
    {".dic", "text/plain"},
    {".as", "text/plain"},
    {".recent", "text/plain"},
    {".txt", "text/plain"},
    {".pl", "text/plain"},
    {".readme", "text/plain"},
    {".log", "text/plain"},
    {".ses", "text/plain"},
    {".pod", "text/pod"},
    {".rtx", "text/richtext"},
    {".wsc", "text/scriptlet"},
    {".sct", "text/scriptlet"},
    {".sgm", "text/sgml"},
    {".sql", "text/sql"},
    {".tsv", "text/tab-separated-values"},
    {".wml", "text/vnd.wap.wml"},
    {".wmls", "text/vnd.wap.wmlscript"},
    {".htt", "text/webviewhtml"},
    {".aip", "text/x-audiosoft-intra"},
    {".htc", "text/x-component"},
    {".etx", "text/x-setext"},
    {".vcf", "text/x-vcard"},
    {".xsl", "text/xml"},
    {".wme", "text/xml"},
    {".xml", "text/xml"},
    {".avi", "video/avi"},
    {".mpg", "video/mpeg"},
    {".mpeg", "video/mpeg"},
    {".m1v", "video/mpeg"},
    {".mp2v", "video/mpeg"},
    {".mpe", "video/mpeg"},
    {".mpv2", "video/mpeg"},
    {".mov", "video/quicktime"},
    {".qt", "video/quicktime"},
    {".mxu", "video/vnd.mpegurl"},
    {".ivf", "video/x-ivf"},
    {".lsf", "video/x-la-asf"},
    {".lsx", "video/x-la-asf"},
    {".asf", "video/x-ms-asf"},
    {".asx", "video/x-ms-asf"},
    {".wm", "video/x-ms-wm"},
    {".wmv", "video/x-ms-wmv"},
    {".wvx", "video/x-ms-wvx"},
    {".movie", "video/x-sgi-movie"},
    {".ice", "x-conference/x-cooltalk"},
};

std::string& SystemFile() {
    static std::string file = "/etc/mime.types";
    return file;
}

using TypeMap = std::unordered_map<std::string, std::string>;

TypeMap ReadSystemTypes(const std::string& file) {
    TypeMap types;
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream words(line);
        std::string type, ext;
        if (!(words >> type))
            continue;
        while (words >> ext) {
            ToLowerInPlace(ext);
            types.emplace(ext, type);
        }
    }
    return types;
}

std::mutex systemLock;
std::unique_ptr<TypeMap> systemTypes; // read on first use

const TypeMap& SystemTypes() {
    std::lock_guard guard(systemLock);
    if (!systemTypes)
        systemTypes = std::make_unique<TypeMap>(ReadSystemTypes(SystemFile()));
    return *systemTypes;
}

} // namespace

std::string_view BuiltInContentType(std::string_view ext) {
    for (const MimeRow& row : kMimeTable) {
        const std::string_view key(row.extension);
        if (EqualsNoCase(key, ext))
            return row.type;
    }
    return {};
}

std::string_view ContentTypeForExtension(std::string_view ext) {
    if (ext.size() > 1 && ext.front() == '.') {
        const std::string key = ToLower(ext.substr(1));
        const TypeMap& types = SystemTypes();
        const auto it = types.find(key);
        if (it != types.end())
            return it->second;
    }
    return BuiltInContentType(ext);
}

void SetSystemMimeTypesFile(const std::string& path) {
    std::lock_guard guard(systemLock);
    SystemFile() = path;
    systemTypes.reset();
}

} // namespace tvn

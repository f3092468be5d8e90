#include "presence/device_announcer.h"

#include "config/settings_section.h"
#include "platform/interfaces.h"
#include "platform/resources.h"
#include "platform/ssdp_responder.h"
#include "platform/text.h"
#include "platform/upnp_device.h"

#include <QUuid>

namespace tvn {
namespace {

constexpr int kLifetimeSeconds = 3200;
constexpr const char* kServiceFile = "TVN.xml";
constexpr const char* kPageFile = "TVN.html";
constexpr const char* kDeviceType = "Tarvolin";
constexpr const char* kServiceType = "Tarvolen";
// The maker's address in the description; a reserved name, so no control point is sent to a
// stranger's site.
constexpr const char* kMakerUrl = "https://www.quorvane.example/";

constexpr std::string_view kLinkFormat = "<A HREF=\"http://%s\">http://%s</A><br>";
constexpr std::string_view kLocalhostLinkFormat = "<A HREF=\"http://%s\">http://%s</A> or<br>";
constexpr std::string_view kPageIntro = "Tarvolin is now available in the LAN as :<br><br>";
constexpr std::string_view kPageOutro = "<br><br>Please, obtain a permanent/symbolic LAN or "
                                        "worldwide link (if available) from the server owner "
                                        "directly";

// `format` with every "%s" replaced by `value`. The address is put in as text, never handed to
// printf within a format.
std::string FillEach(std::string_view format, std::string_view value) {
    std::string out;
    std::size_t from = 0;
    for (std::size_t at = format.find("%s"); at != std::string_view::npos;
         at = format.find("%s", from)) {
        out.append(format.substr(from, at - from)).append(value);
        from = at + 2;
    }
    out.append(format.substr(from));
    return out;
}

std::string XmlEscape(std::string_view text) {
    std::string out;
    AppendMarkupEscaped(out, text, "&apos;");
    return out;
}

void AddElement(std::string& xml, std::string_view indent, std::string_view name,
                std::string_view value) {
    xml.append(indent).append("<").append(name).append(">");
    xml.append(XmlEscape(value));
    xml.append("</").append(name).append(">\n");
}

bool IsUuid(const std::string& text) {
    const QUuid uuid = QUuid::fromString(QString::fromLatin1(text));
    return !uuid.isNull() && text.size() == 36;
}

// The name of the interface whose address is `address`, when libupnp can start on it (up and
// not loopback); empty otherwise. libupnp is never started on an interface it would refuse: it
// cannot be started again in this process after a failed start.
std::string InterfaceOf(const std::string& address) {
    for (const NetInterface& candidate : ListInterfaces()) {
        if (candidate.address == address)
            return candidate.up && !candidate.loopback ? candidate.name : std::string();
    }
    return {};
}

} // namespace

std::string BuildLanLinks(int port, const std::string& address) {
    const std::string suffix = port == 80 ? std::string() : ":" + std::to_string(port);
    if (address.empty())
        return FillEach(kLocalhostLinkFormat, "localhost" + suffix);
    return FillEach(kLinkFormat, address + suffix);
}

std::string FillPageTemplate(std::string_view pageTemplate, std::string_view body) {
    std::string page(pageTemplate);
    const std::size_t at = page.find("%1");
    if (at != std::string::npos)
        page.replace(at, 2, body);
    return page;
}

std::string BuildPresentationPage(int port, const std::string& address) {
    std::string body(kPageIntro);
    body.append(BuildLanLinks(port, address)).append(kPageOutro);
    const std::optional<std::string_view> pageTemplate = FindResource("CONTENT", ".pnp");
    return FillPageTemplate(pageTemplate.value_or(std::string_view()), body);
}

std::string DeviceUuid() {
    const SettingsSection settings;
    const std::string fresh = QUuid::createUuid().toString(QUuid::WithoutBraces).toStdString();
    std::string kept = settings.Text(setting::kDeviceUdn, fresh);
    if (!IsUuid(kept)) {
        kept = fresh;
        settings.Store(setting::kDeviceUdn, kept);
    }
    return kept;
}

std::string BuildDeviceDescription(const std::string& uuid) {
    std::string xml = "<?xml version=\"1.0\"?>\n"
                      "<root xmlns=\"urn:schemas-upnp-org:device-1-0\">\n"
                      "<specVersion>\n<major>1</major>\n<minor>0</minor>\n</specVersion>\n"
                      "<device>\n";
    const std::string_view in = " ";
    AddElement(xml, in, "deviceType", kDeviceType);
    AddElement(xml, in, "friendlyName", "Tarvolin");
    AddElement(xml, in, "manufacturer", "Quorvane");
    AddElement(xml, in, "manufacturerURL", kMakerUrl);
    AddElement(xml, in, "modelDescription", "Tarvolin 1.0 ");
    AddElement(xml, in, "modelName", "TVN");
    AddElement(xml, in, "modelNumber", "1-00-00");
    AddElement(xml, in, "modelURL", kMakerUrl);
    AddElement(xml, in, "serialNumber", "0000001");
    AddElement(xml, in, "UDN", "uuid:" + uuid);
    AddElement(xml, in, "UPC", "00000-00001");
    xml += " <serviceList>\n  <service>\n";
    AddElement(xml, "   ", "serviceType", kServiceType);
    AddElement(xml, "   ", "serviceId", "Tarvolin1.0");
    AddElement(xml, "   ", "SCPDURL", kServiceFile);
    AddElement(xml, "   ", "controlURL", "");
    AddElement(xml, "   ", "eventSubURL", "");
    xml += "  </service>\n </serviceList>\n";
    AddElement(xml, in, "presentationURL", kPageFile);
    xml += "</device>\n</root>\n";
    return xml;
}

std::string BuildServiceDescription() {
    return "<?xml version=\"1.0\"?>\n"
           "<scpd xmlns=\"urn:schemas-upnp-org:service-1-0\">\n"
           "<specVersion>\n<major>1</major>\n<minor>0</minor>\n</specVersion>\n"
           "<serviceStateTable>\n"
           " <stateVariable>\n"
           "  <name>Power</name>\n"
           "  <dataType>Boolean</dataType>\n"
           "  <defaultValue>0</defaultValue>\n"
           " </stateVariable>\n"
           "</serviceStateTable>\n"
           "</scpd>\n";
}

CDeviceAnnouncer::CDeviceAnnouncer() = default;

CDeviceAnnouncer::~CDeviceAnnouncer() { Unregister(); }

void CDeviceAnnouncer::SetAnnouncement(bool on, int port, const std::string& address) {
    if (!on) {
        Unregister();
        return;
    }
    Register(BuildPresentationPage(port, address), address);
}

bool CDeviceAnnouncer::Register(const std::string& page, const std::string& address) {
    if (Registered())
        return true;
    if (address.empty())
        return false;
    const std::string interfaceName = InterfaceOf(address);
    if (interfaceName.empty())
        return false;
    const std::string uuid = DeviceUuid();
    std::vector<UpnpServedFile> files = {{kServiceFile, BuildServiceDescription()},
                                         {kPageFile, page}};
    device =
        PublishUpnpDevice(interfaceName, BuildDeviceDescription(uuid), files, kLifetimeSeconds);
    if (!device) {
        // libupnp would not start here (now, or ever again in this process): our own responder
        // announces the same device.
        responder = CSsdpResponder::Start(address, SsdpDevice{uuid, kDeviceType, kServiceType,
                                                              BuildDeviceDescription(uuid),
                                                              std::move(files), kLifetimeSeconds});
    }
    return Registered();
}

void CDeviceAnnouncer::Unregister() {
    device.reset();
    responder.reset();
}

bool CDeviceAnnouncer::Registered() const { return device != nullptr || responder != nullptr; }

std::string CDeviceAnnouncer::ServedFolder() const { return device ? device->Folder() : ""; }

} // namespace tvn

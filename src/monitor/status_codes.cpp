#include "monitor/status_codes.h"

#include <mutex>

using namespace Qt::StringLiterals;

namespace {

QStringList& MutableStatusCodeList()
{
    static QStringList list;
    return list;
}

} // namespace

QString StatusCodeTableText()
{
    return u"0|访问异常，没有信号\r\n"
           u"100|已响应初始请求，继续其余请求(Continue)\r\n"
           u"101|服务器转到另外的协议(witching Protocols)\r\n"
           u"200|访问正常(OK)\r\n"
           u"201|服务器已创建文档,Location头中有该文档地址(Created)\r\n"
           u"202|已接受请求但处理尚未完成(Accepted)\r\n"
           u"203|返回的文档非官方(Non-Authoritative Information)\r\n"
           u"204|请求的文档没有更新(No Content)\r\n"
           u"205|重置当前显示的网页元素如表单(Reset Content)\r\n"
           u"206|服务器已完成Range头的GET请求(Partial Content)\r\n"
           u"300|存在多个文档位置，应在Location头中指明返回哪个(Multiple Choices)\r\n"
           u"301|文档已被永久性转移到新页面(Moved Permanently)\r\n"
           u"302|文档已被临时性转移到新页面(Found)\r\n"
           u"303|文档已被强制性GET转移到新页面(See Other)\r\n"
           u"304|原来已缓冲的文档可继续使用(Not Modified)\r\n"
           u"305|文档应该通过代理服务器访问(Use Proxy)\r\n"
           u"307|浏览器只能跟随对GET请求的重定向(Temporary Redirect)\r\n"
           u"400|请求出现语法错误(Bad Request)\r\n"
           u"401|访问被拒绝，该文档已被加密而请求非法(Unauthorized)\r\n"
           u"402|该状态无效(Payment Required)\r\n"
           u"403|因权限设置服务器拒绝了请求(Forbidden)\r\n"
           u"404|该文档已经不存在(Not Found)\r\n"
           u"405|请求方法不适用该文档(Method Not Allowed)\r\n"
           u"406|文档不符合请求类型被浏览器拒绝(Not Acceptable)\r\n"
           u"407|该请求需要代理服务器授权(Proxy Authentication Required)\r\n"
           u"408|请求超时，服务器可能挂起该文档(Request Time-out)\r\n"
           u"409|请求的文档与系统冲突导致失败(Conflict)\r\n"
           u"410|该文档已不存在且无法重定向到新页面(Gone)\r\n"
           u"411|服务器要求浏览器发送Content-Length头完成访问(Length Required)\r\n"
           u"412|请求头中指定的一些前提条件失败(Precondition Failed)\r\n"
           u"413|请求的文档过大，服务器可能稍后返回(Request Entity Too Large)\r\n"
           u"414|请求的网址太长(Request-URI Too Large)\r\n"
           u"415|不支持该媒体类型的请求处理(Unsupported Media Type)\r\n"
           u"416|服务器不能满足浏览器在请求中指定的Range头(Requested range not satisfiable)\r\n"
           u"417|执行失败(Expectation Failed)\r\n"
           u"423|发生错误且已被锁定(Lock Error)\r\n"
           u"500|服务器遇到了意料不到的情况不能完成请求(Internal Server Error)\r\n"
           u"501|服务器不支持完成请求所需要的功能(Not Implemented)\r\n"
           u"502|服务器代理转接时收到无效响应(Bad Gateway)\r\n"
           u"503|服务器由于维护或者负载过重未能应答(Service Unavailable)\r\n"
           u"504|服务器代理超时(Gateway Time-out)\r\n"
           u"505|服务器不兼容该HTTP版本的请求(HTTP Version not supported)"_s;
}

const QStringList& StatusCodeList()
{
    return MutableStatusCodeList();
}

void LoadStatusCodeList()
{
    // Filled once before any worker reads it; later calls must not swap the list under running readers.
    static std::once_flag once;
    std::call_once(once, [] { MutableStatusCodeList() = StatusCodeTableText().split(u"\r\n"_s); });
}

QString StatusDescription(int code)
{
    // "#" occurs in no line, so this only matches the code at the start of a line followed by the bar.
    const QString key = u'#' + QString::number(code) + u'|';
    for (const QString& line : StatusCodeList()) {
        if ((u'#' + line).contains(key))
            return line;
    }
    return QString::number(code) + u"|未明状态"_s;
}

#include "core/Validators.h"

#include "core/ErrorLog.h"
#include "platform/vb.h"
#include "wire/Protocol.h"

namespace basMain {

namespace {

const QString& validEndings() {
    static const QString endings =
        QStringLiteral(".COM.EDU.GOV.NET.BIZ.ORG.TV"
                       ".AF.AL.DZ.As.AD.AO.AI.AQ.AG.AP.AR.AM.AW.AU.AT.AZ.BS.BH.BD.BB.BY"
                       ".BE.BZ.BJ.BM.BT.BO.BA.BW.BV.BR.IO.BN.BG.BF.MM.BI.KH.CM.CA.CV.KY"
                       ".CF.TD.CL.CN.CX.CC.CO.KM.CG.CD.CK.CR.CI.HR.CU.CY.CZ.DK.DJ.DM.DO"
                       ".TP.EC.EG.SV.GQ.ER.EE.ET.FK.FO.FJ.FI.CS.SU.FR.FX.GF.PF.TF.GA.GM.GE.DE"
                       ".GH.GI.GB.GR.GL.GD.GP.GU.GT.GN.GW.GY.HT.HM.HN.HK.HU.IS.IN.ID.IR.IQ"
                       ".IE.IL.IT.JM.JP.JO.KZ.KE.KI.KW.KG.LA.LV.LB.LS.LR.LY.LI.LT.LU.MO.MK.MG"
                       ".MW.MY.MV.ML.MT.MH.MQ.MR.MU.YT.MX.FM.MD.MC.MN.MS.MA.MZ.NA"
                       ".NR.NP.NL.AN.NT.NC.NZ.NI.NE.NG.NU.NF.KP.MP.NO.OM.PK.PW.PA.PG.PY"
                       ".PE.PH.PN.PL.PT.PR.QA.RE.RO.RU.RW.GS.SH.KN.LC.PM.ST.VC.SM.SA.SN.SC"
                       ".SL.SG.SK.SI.SB.SO.ZA.KR.ES.LK.SD.SR.SJ.SZ.SE.CH.SY.TJ.TW.TZ.TH.TG.TK"
                       ".TO.TT.TN.TR.TM.TC.TV.UG.UA.AE.UK.US.UY.UM.UZ.VU.VA.VE.VN.VG.VI"
                       ".WF.WS.EH.YE.YU.ZR.ZM.ZW");
    return endings;
}

// A character that would split or garble a request field: the separator, or a control character.
bool hasUnsafeCharacter(const QString& text) {
    return text.contains(wire::kSep) || wire::hasControlCharacter(text);
}

bool checkServerPair(const QStringList& fields) {
    const QStringList parts = fields.value(0).split(QLatin1Char('.'));
    if (parts.size() != 4) return false;
    for (const QString& part : parts) {
        if (!vb::IsNumeric(part)) return false;
        const qint16 value = vb::CInt(part);
        if (value < 0 || value >= 256) return false;
    }
    const QString port = fields.value(1);
    if (!vb::IsNumeric(port)) return false;
    const qint32 value = vb::CLng(port);
    return value >= 1 && value < 65535;
}

} // namespace

bool fnCheckDisplayName(const QString& strName, QString& strMessage) {
    strMessage.clear();
    if (hasUnsafeCharacter(strName)) {
        strMessage = QStringLiteral("Your display name may not contain the character \u00D4 or control characters!");
        return false;
    }
    if (strName.size() > wire::kMaxDisplayNameChars) {
        strMessage = QStringLiteral("Your display name may not be longer than ") +
                     QString::number(wire::kMaxDisplayNameChars) + QStringLiteral(" characters!");
        return false;
    }
    return true;
}

bool fnCheckEmailEnding(QString strEnding) {
    if (!strEnding.startsWith(QLatin1Char('.'))) strEnding.prepend(QLatin1Char('.'));
    return validEndings().toUpper().contains(strEnding.toUpper());
}

bool fnCheckIpOrEmailFormat(const QStringList& arrFields, bool blnServerMode, QString& strMessage) {
    strMessage.clear();
    int mark = 0;
    bool result = false;
    try {
        if (blnServerMode) return checkServerPair(arrFields);

        mark = 15;
        if (!vb::IsNumeric(arrFields.value(2))) {
            strMessage = QStringLiteral("User ID is not a number?");
            return false;
        }
        mark = 17;
        result = true;
        const QString address = arrFields.value(3);
        const qsizetype lastDot = address.lastIndexOf(QLatin1Char('.'));
        const QString ending = lastDot < 0 ? address : address.mid(lastDot + 1);
        const qsizetype at = address.indexOf(QLatin1Char('@'));

        mark = 20;
        if (hasUnsafeCharacter(address)) {
            mark = 19;
            result = false;
            strMessage +=
                QStringLiteral("Your email address may not contain the character \u00D4 or control characters!");
        } else if (address.contains(QLatin1Char(' '))) {
            mark = 21;
            result = false;
            strMessage += QStringLiteral("Your email address has Space!");
        } else if (address.isEmpty()) {
            mark = 22;
            result = false;
            strMessage += QStringLiteral("You did not enter an email address!");
        } else if (at < 0) {
            mark = 23;
            result = false;
            strMessage += QStringLiteral("Your email address does not contain an @ sign.");
        } else if (at == 0) {
            mark = 24;
            result = false;
            strMessage += QStringLiteral("Your @ sign can not be the first character in your email address!");
        } else if (at == address.size() - 1) {
            mark = 25;
            result = false;
            strMessage += QStringLiteral("Your @sign can not be the last character in your email address!");
        } else if (!fnCheckEmailEnding(ending)) {
            mark = 26;
            result = false;
            strMessage += QStringLiteral("Your email address is not carrying a valid ending!");
            strMessage += QStringLiteral("It must be one of the following...");
            strMessage +=
                QStringLiteral(".com, .net, .gov, .org, .edu, .biz, .tv Or included country's assigned country code");
        } else if (address.size() < 6) {
            mark = 27;
            result = false;
            strMessage += QStringLiteral("Your email address is shorter than 6 characters which is impossible.");
        }

        mark = 28;
        if (address.count(QLatin1Char('@')) > 1) {
            mark = 31;
            result = false;
            strMessage += QStringLiteral("You have more than 1 @ sign in your email address");
        }
        return result;
    } catch (const std::exception& error) {
        logCaught(QStringLiteral("fnCheckIpOrEmailFormat[") + QString::number(mark) + QLatin1Char(']'), error);
        return blnServerMode ? false : result;
    }
}

} // namespace basMain

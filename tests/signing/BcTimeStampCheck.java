// Bouncy Castle's view of time-stamped CMS signatures: for each line
// "CONTAINER<TAB>CONTENT-or-'-'<TAB>TSA-CA-PEM" of the list file given as
// the only argument, the signer's signature, then the time-stamp token in
// its unsigned attributes: the token's own signature by a TSA certificate
// that the CA issued, and its message imprint, which must be the digest of
// the signature field as stored (RFC 3161, CAdES). Prints "OK <container>"
// or "FAIL <container>: <reason>" per line.
import java.io.FileReader;
import java.nio.file.Files;
import java.nio.file.Path;
import java.security.MessageDigest;
import java.security.Security;
import java.util.Arrays;
import java.util.List;

import org.bouncycastle.asn1.cms.Attribute;
import org.bouncycastle.asn1.cms.ContentInfo;
import org.bouncycastle.asn1.pkcs.PKCSObjectIdentifiers;
import org.bouncycastle.cert.X509CertificateHolder;
import org.bouncycastle.cms.CMSProcessableByteArray;
import org.bouncycastle.cms.CMSSignedData;
import org.bouncycastle.cms.SignerInformation;
import org.bouncycastle.cms.jcajce.JcaSimpleSignerInfoVerifierBuilder;
import org.bouncycastle.jce.provider.BouncyCastleProvider;
import org.bouncycastle.openssl.PEMParser;
import org.bouncycastle.operator.jcajce.JcaContentVerifierProviderBuilder;
import org.bouncycastle.tsp.TimeStampToken;

public class BcTimeStampCheck {
    public static void main(String[] args) throws Exception {
        Security.addProvider(new BouncyCastleProvider());
        List<String> lines = Files.readAllLines(Path.of(args[0]));
        for (String line : lines) {
            if (line.isEmpty()) continue;
            String[] fields = line.split("\t");
            try {
                check(fields[0], fields[1], fields[2]);
                System.out.println("OK " + fields[0]);
            } catch (Exception e) {
                System.out.println("FAIL " + fields[0] + ": " + e);
            }
        }
    }

    static void check(String container, String content, String tsaCaPem) throws Exception {
        byte[] der = Files.readAllBytes(Path.of(container));
        CMSSignedData signed = content.equals("-")
                ? new CMSSignedData(der)
                : new CMSSignedData(new CMSProcessableByteArray(Files.readAllBytes(Path.of(content))), der);
        SignerInformation signer = signed.getSignerInfos().getSigners().iterator().next();
        X509CertificateHolder signerCert =
                (X509CertificateHolder) signed.getCertificates().getMatches(signer.getSID()).iterator().next();
        if (!signer.verify(new JcaSimpleSignerInfoVerifierBuilder().setProvider("BC").build(signerCert))) {
            throw new Exception("the signature does not verify");
        }

        Attribute attribute = signer.getUnsignedAttributes().get(PKCSObjectIdentifiers.id_aa_signatureTimeStampToken);
        if (attribute == null) throw new Exception("no time-stamp token");
        TimeStampToken token = new TimeStampToken(ContentInfo.getInstance(attribute.getAttrValues().getObjectAt(0)));
        X509CertificateHolder tsaCert =
                (X509CertificateHolder) token.getCertificates().getMatches(token.getSID()).iterator().next();
        token.validate(new JcaSimpleSignerInfoVerifierBuilder().setProvider("BC").build(tsaCert));
        try (PEMParser pem = new PEMParser(new FileReader(tsaCaPem))) {
            X509CertificateHolder ca = (X509CertificateHolder) pem.readObject();
            if (!tsaCert.isSignatureValid(new JcaContentVerifierProviderBuilder().setProvider("BC").build(ca))) {
                throw new Exception("the TSA certificate is not the CA's");
            }
        }

        MessageDigest digest = MessageDigest.getInstance(
                token.getTimeStampInfo().getMessageImprintAlgOID().getId(), "BC");
        if (!Arrays.equals(digest.digest(signer.getSignature()), token.getTimeStampInfo().getMessageImprintDigest())) {
            throw new Exception("token imprint does not cover the signature value");
        }
    }
}
